#pragma once
// What a process costs, read from /proc: the benchmarks measure other processes (the client, the
// tunnel service, the provider) and themselves this way.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

namespace nimo::bench {

struct Activity {
    long long ticks = 0;    // utime + stime of the whole process, in clock ticks
    long long switches = 0; // voluntary and involuntary context switches of its live threads
};

inline Activity processActivity(qint64 pid) {
    Activity a;
    QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(tasks.filePath(tid + "/status"));
        if (status.open(QIODevice::ReadOnly))
            for (const QByteArray& line : status.readAll().split('\n'))
                if (line.contains("ctxt_switches:"))
                    a.switches += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
    }
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 12)
            a.ticks = fields[11].toLongLong() + fields[12].toLongLong();
    }
    return a;
}

// A "kB" line of /proc/<pid>/status ("VmRSS:", "VmHWM:"); pid 0 is this process.
inline long statusKiB(qint64 pid, const char* key) {
    QFile status(pid ? QStringLiteral("/proc/%1/status").arg(pid) : QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(line.indexOf(':') + 1).trimmed().split(' ').value(0).toLong();
    return 0;
}

} // namespace nimo::bench
