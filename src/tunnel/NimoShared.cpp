#include "tunnel/NimoShared.h"

#include "platform/Log.h"
#include "platform/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <cxxabi.h>
#include <sys/stat.h>

namespace nimo {

namespace {
constexpr QFileDevice::Permissions kDirMode =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup |
    QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther; // 0755
constexpr QFileDevice::Permissions kFileMode = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ReadGroup | QFileDevice::ReadOther; // 0644

bool isSupported(const nlohmann::json& v) {
    switch (v.type()) {
    case nlohmann::json::value_t::string:
    case nlohmann::json::value_t::boolean:
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float:
    case nlohmann::json::value_t::binary:
        return true;
    case nlohmann::json::value_t::array:
    case nlohmann::json::value_t::object:
        for (const auto& e : v)
            if (!isSupported(e))
                return false;
        return true;
    default:
        return false; // null and discarded have no place in a property list
    }
}
} // namespace

NimoShared& NimoShared::shared() {
    static NimoShared instance;
    return instance;
}

std::string NimoShared::containerPath() {
    return platform::paths::sharedContainer();
}
std::string NimoShared::domainPath() {
    return platform::paths::sharedDomainFile();
}

platform::JsonFileStore& NimoShared::domain() const {
    // The domain follows the XDG variables of the moment, so a changed home gets a new file.
    const std::string path = domainPath();
    if (!domain_ || domain_->path() != path)
        domain_ = std::make_unique<platform::JsonFileStore>(path);
    return *domain_;
}

std::optional<nlohmann::json> NimoShared::get(const std::string& key) const {
    return domain().value(key);
}

std::optional<nlohmann::json> NimoShared::toValue(const nlohmann::json& v) {
    if (isSupported(v))
        return v;
    return std::nullopt;
}

bool NimoShared::store(nlohmann::json value, const std::string& key) {
    if (domain().set(key, std::move(value)))
        return true;
    platform::consoleLog("sysnc.set.err:" + key);
    return false;
}

std::string NimoShared::demangle(const char* mangled) {
    int status = 0;
    char* name = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string out = (status == 0 && name) ? name : mangled;
    std::free(name);
    return out;
}

void NimoShared::refuse(const std::string& typeName, const std::string&) {
    platform::printLine("不支持的数据类型：" + typeName + "，支持的类型：String/Int/Bool/Data/数组/字典等");
}

std::optional<std::string> NimoShared::getSharedDir(const std::string& subdir) const {
    const std::string container = containerPath();
    if (!platform::paths::ensureDir(container, 0755)) {
        platform::consoleLog("sysnc:!!无法加载共享文件路径");
        return std::nullopt;
    }
    platform::consoleLog("sysnc.实际Group路径：" + container);
    const std::string dir = subdir.empty() ? container : container + "/" + subdir;
    const QString qdir = QString::fromStdString(dir);
    if (QFileInfo(qdir).isDir()) {
        QFile::setPermissions(qdir, kDirMode);
        return dir;
    }
    if (!QDir().mkpath(qdir)) {
        platform::consoleLog("sysnc.getSharedDir.err:" + std::string("无法创建目录 ") + dir);
        return std::nullopt;
    }
    QFile::setPermissions(qdir, kDirMode);
    return dir;
}

std::optional<std::string> NimoShared::fileURL(const std::string& fileName, const std::string& subdir) const {
    auto dir = getSharedDir(subdir);
    if (!dir)
        return std::nullopt;
    return *dir + "/" + fileName;
}

bool NimoShared::fileExists(const std::string& fileName, const std::string& subdir) const {
    auto path = fileURL(fileName, subdir);
    return path && QFileInfo::exists(QString::fromStdString(*path));
}

std::optional<std::string> NimoShared::copyItem(const std::string& source, const std::string& subdir,
                                                bool overwrite) const {
    auto dir = getSharedDir(subdir);
    if (!dir)
        return std::nullopt;
    QFile::setPermissions(QString::fromStdString(*dir), kDirMode);
    const std::string destination =
        *dir + "/" + QFileInfo(QString::fromStdString(source)).fileName().toStdString();
    const QString qdest = QString::fromStdString(destination);
    const bool exists = QFileInfo::exists(qdest) || QFileInfo(qdest).isSymLink();
    if (exists && !overwrite) {
        platform::printLine("cancel.whenExist：" + destination);
        return destination;
    }
    // The copy goes to a file of its own first: the existing item is replaced only by a complete
    // copy, and stays as it was when copying fails.
    const QString temporary =
        qdest + QStringLiteral(".part-") + QString::number(QCoreApplication::applicationPid());
    QFile::remove(temporary);
    if (!QFile::copy(QString::fromStdString(source), temporary)) {
        QFile::remove(temporary);
        platform::consoleLog("sysnc.copyItem.err：" + source + " to " + destination);
        return std::nullopt;
    }
    QFile::setPermissions(temporary, kFileMode);
    if (exists) {
        if (QFileInfo(qdest).isDir() && !QFileInfo(qdest).isSymLink())
            QDir(qdest).removeRecursively();
        platform::printLine("removeItem：" + destination);
    }
    if (::rename(temporary.toLocal8Bit().constData(), qdest.toLocal8Bit().constData()) != 0) {
        QFile::remove(temporary);
        platform::consoleLog("sysnc.copyItem.err：" + source + " to " + destination);
        return std::nullopt;
    }
    platform::consoleLog("sysnc.copyItem：" + source + " to " + destination);
    return destination;
}

} // namespace nimo
