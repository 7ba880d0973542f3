// Helper process for the cross-process store tests.
//   store_writer incr <file> <key> <n>      n read-modify-write increments of an integer
//   store_writer churn <file>               rewrites a large value until killed
//   store_writer shared-get <key>           prints the shared-container value (or "none")
//   store_writer set <file> <key> <bytes>   stores a text of that many bytes; exit 0 when stored
#include "platform/JsonFileStore.h"
#include "tunnel/NimoShared.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 2;
    const std::string cmd = argv[1];
    if (cmd == "incr" && argc == 5) {
        nimo::platform::JsonFileStore store(argv[2]);
        const std::string key = argv[3];
        const int n = std::atoi(argv[4]);
        for (int i = 0; i < n; ++i) {
            const bool ok = store.update([&](nlohmann::json& o) {
                const auto it = o.find(key);
                o[key] = (it != o.end() && it->is_number_integer() ? it->get<int>() : 0) + 1;
            });
            if (!ok)
                return 1;
        }
        return 0;
    }
    if (cmd == "churn") {
        nimo::platform::JsonFileStore store(argv[2]);
        std::string big(200000, 'x');
        for (long i = 0;; ++i) {
            big[static_cast<size_t>(i) % big.size()] = static_cast<char>('a' + i % 26);
            (void)store.set("big", big);
            (void)store.set("counter", i);
            if (i == 2) {
                std::printf("ready\n");
                std::fflush(stdout);
            }
        }
    }
    if (cmd == "set" && argc == 5) {
        nimo::platform::JsonFileStore store(argv[2]);
        return store.set(argv[3], std::string(static_cast<std::size_t>(std::atol(argv[4])), 'v')) ? 0 : 1;
    }
    if (cmd == "shared-get") {
        auto v = nimo::NimoShared::shared().get(argv[2]);
        std::printf("%s\n", v ? v->dump().c_str() : "none");
        return 0;
    }
    return 2;
}
