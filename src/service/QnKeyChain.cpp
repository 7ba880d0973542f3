#include "service/QnKeyChain.h"

#include "platform/Paths.h"

#include <QByteArray>
#include <QFile>
#include <QStringDecoder>
#include <fcntl.h>
#include <unistd.h>

namespace nimo {

QnKeyChain::QnKeyChain(std::string dir) : dir_(std::move(dir)) {}

std::string QnKeyChain::itemPath(const std::string& account) const {
    // Account names become file names: hex keeps any text safe as one path component.
    return dir_ + "/" + QByteArray::fromStdString(account).toHex().toStdString() + ".item";
}

std::optional<std::string> QnKeyChain::load(const std::string& account) const {
    QFile file(QString::fromStdString(itemPath(account)));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray data = file.read(1 << 20);
    auto decoder = QStringDecoder(QStringDecoder::Utf8);
    const QString text = decoder(data);
    if (decoder.hasError())
        return std::nullopt;
    return text.toStdString();
}

void QnKeyChain::save(const std::string& value, const std::string& account) const {
    if (!platform::paths::ensureDir(dir_, 0700))
        return;
    const std::string path = itemPath(account);
    // O_EXCL: adding over an existing item leaves the old one in place.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    const ssize_t written = ::write(fd, value.data(), value.size());
    ::close(fd);
    if (written != static_cast<ssize_t>(value.size()))
        ::unlink(path.c_str()); // a half item would read back as a wrong identifier
}

} // namespace nimo
