#include "ExtensionStore.h"

#include "tunnel/TunnelProtocol.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QUuid>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace nimo::tunneld {

using namespace tunnelproto;

namespace {
constexpr qint64 kMaxInfoBytes = 64 * 1024;
constexpr int kMaxPackageFiles = 4096;

bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// Copies a package folder; symbolic links are refused so a package cannot pull in other files.
std::optional<std::string> copyTree(const QString& from, const QString& to) {
    if (!QDir().mkpath(to))
        return "无法创建目录 " + to.toStdString();
    QDirIterator it(from, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    int count = 0;
    while (it.hasNext()) {
        const QString source = it.next();
        const QFileInfo info = it.fileInfo();
        if (++count > kMaxPackageFiles)
            return std::string("扩展包文件过多");
        const QString target = to + "/" + QDir(from).relativeFilePath(source);
        if (info.isSymLink())
            return "扩展包含有符号链接：" + source.toStdString();
        if (info.isDir()) {
            if (!QDir().mkpath(target))
                return "无法创建目录 " + target.toStdString();
        } else if (info.isFile()) {
            if (!QFile::copy(source, target))
                return "无法复制 " + source.toStdString();
            QFile::setPermissions(target, info.permissions());
        }
    }
    return std::nullopt;
}
} // namespace

ExtensionStore::ExtensionStore(std::string stateDir)
    : dir_(std::move(stateDir) + "/extensions"), approvals_(dir_ + "/approvals.json") {}

std::string ExtensionStore::installedPath(const std::string& identifier) const {
    return dir_ + "/" + identifier + ".systemextension";
}

std::variant<PackageInfo, TunnelError> ExtensionStore::readPackage(const std::string& packagePath) {
    const QString root = QString::fromStdString(packagePath);
    if (!QFileInfo(root).isAbsolute() || !QFileInfo(root).isDir())
        return makeError(PackageInvalid, "扩展包不存在：" + packagePath);
    QFile file(root + "/Contents/Info.json");
    if (file.size() > kMaxInfoBytes || !file.open(QIODevice::ReadOnly))
        return makeError(PackageInvalid, "扩展包缺少 Contents/Info.json：" + packagePath);
    const auto info = nlohmann::json::parse(file.readAll().toStdString(), nullptr, false);
    PackageInfo out;
    out.identifier = stringField(info, "identifier").value_or("");
    out.shortVersion = stringField(info, "shortVersion").value_or("");
    out.executable = stringField(info, "executable").value_or("");
    if (out.identifier.empty() || out.shortVersion.empty() || !isPlainName(out.executable))
        return makeError(PackageInvalid, "扩展包的 Info.json 不完整：" + packagePath);
    const QFileInfo exe(root + "/Contents/bin/" + QString::fromStdString(out.executable));
    if (!exe.isFile() || !exe.isExecutable())
        return makeError(PackageInvalid, "扩展包缺少可执行文件：" + exe.filePath().toStdString());
    return out;
}

std::optional<PackageInfo> ExtensionStore::installed(const std::string& identifier) const {
    if (!isPlainName(identifier))
        return std::nullopt;
    auto info = readPackage(installedPath(identifier));
    if (auto* p = std::get_if<PackageInfo>(&info); p && p->identifier == identifier)
        return *p;
    return std::nullopt;
}

std::string ExtensionStore::installedExecutable(const std::string& identifier) const {
    auto info = installed(identifier);
    if (!info)
        return {};
    return installedPath(identifier) + "/Contents/bin/" + info->executable;
}

std::optional<TunnelError> ExtensionStore::install(const std::string& packagePath, const PackageInfo& info) {
    if (!isPlainName(info.identifier))
        return makeError(PackageInvalid, "扩展标识无效：" + info.identifier);
    const QString unique = QUuid::createUuid().toString(QUuid::Id128);
    const QString staging = QString::fromStdString(dir_) + "/.staging-" + unique;
    const QString retired = QString::fromStdString(dir_) + "/.retired-" + unique;
    const QString target = QString::fromStdString(installedPath(info.identifier));
    if (auto failure = copyTree(QString::fromStdString(packagePath), staging)) {
        QDir(staging).removeRecursively();
        return makeError(InstallFailed, "安装扩展失败：" + *failure);
    }
    // Two renames: a reader sees the old copy or the new one, never a half-copied folder.
    const bool hadOld = QFileInfo::exists(target);
    if (hadOld && !QDir().rename(target, retired)) {
        QDir(staging).removeRecursively();
        return makeError(InstallFailed, "安装扩展失败：无法移开旧版本");
    }
    if (!QDir().rename(staging, target)) {
        if (hadOld)
            QDir().rename(retired, target);
        QDir(staging).removeRecursively();
        return makeError(InstallFailed, "安装扩展失败：无法放入新版本");
    }
    if (hadOld)
        QDir(retired).removeRecursively();
    return std::nullopt;
}

bool ExtensionStore::isApproved(const std::string& identifier) const {
    auto list = approvals_.array("approved");
    if (!list)
        return false;
    for (const auto& id : *list)
        if (id.is_string() && id.get<std::string>() == identifier)
            return true;
    return false;
}

bool ExtensionStore::approve(const std::string& identifier) {
    if (isApproved(identifier))
        return true;
    return approvals_.update([&](nlohmann::json& object) {
        auto list = object.value("approved", nlohmann::json::array());
        if (!list.is_array())
            list = nlohmann::json::array();
        list.push_back(identifier);
        object["approved"] = std::move(list);
        // Who approved and when: the service only answers its own user, so that user, now.
        if (!object.contains("records") || !object["records"].is_object())
            object["records"] = nlohmann::json::object();
        object["records"][identifier] = {
            {"uid", static_cast<std::int64_t>(::getuid())},
            {"at", QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toStdString()}};
    });
}

} // namespace nimo::tunneld
