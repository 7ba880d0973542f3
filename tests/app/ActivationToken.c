/* Asks the session's compositor for an activation token, as a launcher does before it starts a
 * program, and prints it. The desktop suite hands it to a second launch of the client: a token the
 * compositor issued itself, which it honours. Exits non-zero when no token comes. */
#include "xdg-activation-v1-client-protocol.h"

#include <stdio.h>
#include <string.h>
#include <wayland-client.h>

static struct xdg_activation_v1* activation;
static char token[256];

static void announced(void* data, struct wl_registry* registry, uint32_t name, const char* interface,
                      uint32_t version) {
    (void)data;
    (void)version;
    if (strcmp(interface, xdg_activation_v1_interface.name) == 0)
        activation = wl_registry_bind(registry, name, &xdg_activation_v1_interface, 1);
}

static void withdrawn(void* data, struct wl_registry* registry, uint32_t name) {
    (void)data;
    (void)registry;
    (void)name;
}

static void issued(void* data, struct xdg_activation_token_v1* request, const char* value) {
    (void)data;
    (void)request;
    snprintf(token, sizeof token, "%s", value);
}

int main(void) {
    static const struct wl_registry_listener registryListener = {announced, withdrawn};
    static const struct xdg_activation_token_v1_listener tokenListener = {issued};
    struct wl_display* display = wl_display_connect(NULL);
    if (!display) {
        fputs("no Wayland display\n", stderr);
        return 1;
    }
    wl_registry_add_listener(wl_display_get_registry(display), &registryListener, NULL);
    wl_display_roundtrip(display);
    if (!activation) {
        fputs("the compositor offers no xdg_activation_v1\n", stderr);
        return 2;
    }
    struct xdg_activation_token_v1* request = xdg_activation_v1_get_activation_token(activation);
    xdg_activation_token_v1_add_listener(request, &tokenListener, NULL);
    xdg_activation_token_v1_commit(request);
    while (!token[0] && wl_display_dispatch(display) != -1) {
    }
    wl_display_disconnect(display);
    if (!token[0]) {
        fputs("no token was issued\n", stderr);
        return 3;
    }
    puts(token);
    return 0;
}
