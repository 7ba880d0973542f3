// The store loader on any file content (a damaged settings or shared-container file): it reads
// what it can, sets a damaged file aside and keeps working.
#include "platform/JsonFileStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    static QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/settings.json";
    QFile::remove(QString::fromStdString(path));
    {
        QFile file(QString::fromStdString(path));
        if (!file.open(QIODevice::WriteOnly))
            return 0;
        file.write(reinterpret_cast<const char*>(bytes), static_cast<qint64>(size));
    }
    nimo::platform::JsonFileStore store(path);
    const auto all = store.snapshot();
    for (auto it = all.begin(); it != all.end(); ++it) {
        (void)store.string(it.key());
        (void)store.integer(it.key());
        (void)store.bytes(it.key());
    }
    (void)store.set("written", 1);
    // Damaged files set aside by the loader would pile up across runs.
    for (const QString& name : QDir(dir.path()).entryList({"settings.json.corrupt-*"}))
        QFile::remove(dir.path() + "/" + name);
    return 0;
}
