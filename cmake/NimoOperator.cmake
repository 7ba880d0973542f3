# Values the service operator sets at build time (cmake -DNIMO_...=...). The defaults live under a
# reserved example domain, so a build that forgets them never talks to somebody's real host.
set(NIMO_BASE_URL_1 "https://api1.nimomac.example.com" CACHE STRING "Built-in service base URL 1")
set(NIMO_BASE_URL_2 "https://api2.nimomac.example.com" CACHE STRING "Built-in service base URL 2")
set(NIMO_BASE_URL_3 "https://api3.nimomac.example.com" CACHE STRING "Built-in service base URL 3")
set(NIMO_DEFAULT_TUNNEL_HOST "https://tunnel.nimomac.example.com" CACHE STRING "Default tunnel host (scheme and host)")
set(NIMO_CHAT_URL "https://chat.nimomac.example.com" CACHE STRING "Customer chat page")
set(NIMO_WEBSITE_URL "https://www.nimomac.example.com" CACHE STRING "Official web site")
set(NIMO_WEBSITE_DOMAIN "www.nimomac.example.com" CACHE STRING "Official web site's domain name, as shown")
set(NIMO_PAYMENT_URL "https://pay.nimomac.example.com" CACHE STRING "Payment page")
set(NIMO_BUNDLE_ID "com.nimomac.qn" CACHE STRING "Application bundle identifier")
set(NIMO_BUILD_VERSION "1" CACHE STRING "Application build version")
# The resolver global mode sends every captured DNS query to, over TCP through the tunnel (an IP address).
set(NIMO_TUNNEL_DNS "9.9.9.9" CACHE STRING "Resolver reached through the tunnel in global mode")
# Special addresses (loopback, link-local, ...) a server list may name as nodes, as comma-separated
# CIDR networks; none by default. The demo and the tests run their nodes on loopback.
set(NIMO_NODE_SPECIAL_NETWORKS "" CACHE STRING "Special networks allowed as node addresses (CIDR, comma-separated)")
