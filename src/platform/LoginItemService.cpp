#include "platform/LoginItemService.h"

#include "platform/Log.h"
#include "platform/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUrl>

namespace nimo::platform {

namespace desktopentry {

namespace {
bool isControl(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
}
} // namespace

std::optional<std::string> quoteExecArgument(std::string_view program) {
    static constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
    bool needsQuotes = program.empty();
    for (char c : program) {
        if (isControl(c))
            return std::nullopt;
        if (kReserved.find(c) != std::string_view::npos)
            needsQuotes = true;
    }
    std::string out;
    if (needsQuotes)
        out.push_back('"');
    for (char c : program) {
        if (c == '%') {
            out += "%%";
            continue;
        }
        if (needsQuotes && (c == '"' || c == '`' || c == '$' || c == '\\'))
            out.push_back('\\');
        out.push_back(c);
    }
    if (needsQuotes)
        out.push_back('"');
    return out;
}

std::string escapeValue(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else
            out.push_back(c);
    }
    return out;
}

std::string unescapeValue(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out.push_back(text[i]);
            continue;
        }
        switch (text[i + 1]) {
        case 's':
            out.push_back(' ');
            break;
        case 'n':
            out.push_back('\n');
            break;
        case 't':
            out.push_back('\t');
            break;
        case 'r':
            out.push_back('\r');
            break;
        case '\\':
            out.push_back('\\');
            break;
        default:
            out.push_back('\\');
            out.push_back(text[i + 1]);
            break;
        }
        ++i;
    }
    return out;
}

std::optional<std::vector<std::string>> splitExec(std::string_view exec) {
    std::vector<std::string> args;
    std::string current;
    bool inArg = false;
    bool fieldCodeOnly = false; // the argument so far is one field code such as %f
    for (size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (inArg && !fieldCodeOnly)
                args.push_back(current);
            current.clear();
            inArg = false;
            fieldCodeOnly = false;
            continue;
        }
        if (c == '"') {
            inArg = true;
            fieldCodeOnly = false;
            bool closed = false;
            for (++i; i < exec.size(); ++i) {
                if (exec[i] == '"') {
                    closed = true;
                    break;
                }
                if (exec[i] == '\\' && i + 1 < exec.size() &&
                    std::string_view("\"`$\\").find(exec[i + 1]) != std::string_view::npos)
                    ++i;
                if (exec[i] == '%' && i + 1 < exec.size() && exec[i + 1] == '%')
                    ++i;
                current.push_back(exec[i]);
            }
            if (!closed)
                return std::nullopt;
            continue;
        }
        if (c == '%' && i + 1 < exec.size()) {
            if (exec[i + 1] == '%') {
                current.push_back('%');
            } else {
                // A field code stands for the launcher's own arguments; none is passed at login.
                fieldCodeOnly = !inArg || fieldCodeOnly;
            }
            inArg = true;
            ++i;
            continue;
        }
        inArg = true;
        fieldCodeOnly = false;
        current.push_back(c);
    }
    if (inArg && !fieldCodeOnly)
        args.push_back(current);
    return args;
}

std::optional<std::string> autostartEntry(const std::string& program) {
    const auto exec = quoteExecArgument(program);
    if (!exec)
        return std::nullopt;
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=NimoMac\n"
           "Comment=NimoMac VPN\n"
           "Exec=" +
           escapeValue(*exec) +
           "\n"
           "Icon=nimo\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

} // namespace desktopentry

namespace {

// Entries larger than this are not login items anyone wrote by hand or by a tool; they are skipped
// unread.
constexpr qint64 kMaxEntryBytes = 64 * 1024;
constexpr int kMaxEntryNames = 100;

QString fileUrl(const QString& path) {
    return QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded);
}

// The folder of the login items, or none when it exists as something else. A missing folder is an
// empty list.
std::optional<QDir> itemFolder() {
    const QString dir = QString::fromStdString(paths::autostartDir());
    const QFileInfo info(dir);
    if (info.exists() && !info.isDir())
        return std::nullopt;
    return QDir(dir);
}

// The values of the keys the session looks at, from the "Desktop Entry" group; the first occurrence
// of a key wins.
struct EntryKeys {
    std::optional<std::string> exec, hidden, autostartEnabled, type;
};

EntryKeys readEntry(const QString& file) {
    EntryKeys keys;
    QFile f(file);
    if (f.size() > kMaxEntryBytes || !f.open(QIODevice::ReadOnly))
        return keys;
    bool inMainGroup = false;
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (QByteArray line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith('#'))
            continue;
        if (trimmed.startsWith('[')) {
            inMainGroup = trimmed == "[Desktop Entry]";
            continue;
        }
        if (!inMainGroup)
            continue;
        const qsizetype eq = line.indexOf('=');
        if (eq <= 0)
            continue;
        const QByteArray key = line.left(eq).trimmed();
        const std::string value = line.mid(eq + 1).trimmed().toStdString();
        auto take = [&](std::optional<std::string>& slot) {
            if (!slot)
                slot = value;
        };
        if (key == "Exec")
            take(keys.exec);
        else if (key == "Hidden")
            take(keys.hidden);
        else if (key == "X-GNOME-Autostart-enabled")
            take(keys.autostartEnabled);
        else if (key == "Type")
            take(keys.type);
    }
    return keys;
}

// The file URL of the program an entry starts, or none when the session would not start it or the
// program is not there.
std::optional<QString> resolvedTarget(const QString& file) {
    const EntryKeys keys = readEntry(file);
    if (!keys.exec || keys.hidden == "true" || keys.autostartEnabled == "false" ||
        (keys.type && *keys.type != "Application"))
        return std::nullopt;
    const auto args = desktopentry::splitExec(desktopentry::unescapeValue(*keys.exec));
    if (!args || args->empty() || (*args)[0].empty())
        return std::nullopt;
    const QString program = QString::fromStdString((*args)[0]);
    QString path;
    if (program.contains(QLatin1Char('/'))) {
        if (!QDir::isAbsolutePath(program))
            return std::nullopt;
        path = QDir::cleanPath(program);
    } else {
        path = QStandardPaths::findExecutable(program);
    }
    // Resolved as far as the file itself, so a command link (/usr/bin/nimo into the package) and
    // the package's own executable are the same item.
    const QFileInfo target(path);
    if (path.isEmpty() || !target.exists() || target.isDir())
        return std::nullopt;
    return fileUrl(target.canonicalFilePath());
}

std::optional<QString> appUrl(const std::string& appPath) {
    if (appPath.empty())
        return std::nullopt;
    const QFileInfo app(QString::fromStdString(appPath));
    return fileUrl(app.exists() ? app.canonicalFilePath() : QDir::cleanPath(app.absoluteFilePath()));
}

// The entries of the folder, in name order.
QStringList entryFiles(const QDir& folder) {
    QStringList files;
    if (!folder.exists())
        return files;
    const QFileInfoList infos =
        folder.entryInfoList({QStringLiteral("*.desktop")}, QDir::Files | QDir::Hidden, QDir::Name);
    for (const QFileInfo& info : infos)
        files << info.absoluteFilePath();
    return files;
}

// The entries that resolve to the application.
QStringList matchingEntries(const QDir& folder, const QString& url) {
    QStringList out;
    for (const QString& file : entryFiles(folder))
        if (resolvedTarget(file) == url)
            out << file;
    return out;
}

} // namespace

bool LoginItemService::isLoginItem(const std::string& appPath) {
    const auto url = appUrl(appPath);
    const auto folder = itemFolder();
    if (!url || !folder)
        return false;
    return !matchingEntries(*folder, *url).isEmpty();
}

bool LoginItemService::addLoginItem(const std::string& appPath) {
    if (isLoginItem(appPath))
        return false;
    const auto url = appUrl(appPath);
    if (!url || !itemFolder() || !paths::ensureDir(paths::autostartDir(), 0700))
        return false;
    const std::string program = QUrl(*url).toLocalFile().toStdString();
    const auto entry = desktopentry::autostartEntry(program);
    if (!entry) {
        consoleLog("addLoginItem: the path cannot be written into a desktop entry: " + program);
        return false;
    }
    const QDir folder(QString::fromStdString(paths::autostartDir()));
    QString file;
    for (int n = 1; n <= kMaxEntryNames && file.isEmpty(); ++n) {
        const QString name =
            n == 1 ? QStringLiteral("nimo.desktop") : QStringLiteral("nimo-%1.desktop").arg(n);
        if (!QFileInfo::exists(folder.filePath(name)))
            file = folder.filePath(name);
    }
    if (file.isEmpty())
        return false;
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) ||
        out.write(entry->data(), qint64(entry->size())) != qint64(entry->size()) || !out.commit()) {
        consoleLog("addLoginItem: could not write " + file.toStdString() + ": " +
                   out.errorString().toStdString());
        return false;
    }
    return true;
}

bool LoginItemService::removeLoginItem(const std::string& appPath) {
    if (!isLoginItem(appPath))
        return false;
    const auto url = appUrl(appPath);
    const auto folder = itemFolder();
    if (!url || !folder)
        return false;
    for (const QString& file : matchingEntries(*folder, *url))
        if (!QFile::remove(file))
            consoleLog("removeLoginItem: could not remove " + file.toStdString());
    return true;
}

std::string applicationPath() {
    return QCoreApplication::applicationFilePath().toStdString();
}

bool setLaunchAtLogin(bool enabled) {
    const std::string path = applicationPath();
    return enabled ? LoginItemService::addLoginItem(path) : LoginItemService::removeLoginItem(path);
}

} // namespace nimo::platform
