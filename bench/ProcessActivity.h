#pragma once
// What a process costs, read from /proc: the benchmarks measure other processes (the client, the
// tunnel service, the provider) and themselves this way.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QString>

namespace nimo::bench {

struct Activity {
    long long ticks = 0;               // utime + stime of the whole process, in clock ticks
    long long switches = 0;            // voluntary and involuntary context switches of its live threads
    QMap<QString, long long> byThread; // "name/tid" -> its switches, to tell which thread woke
};

inline Activity processActivity(qint64 pid) {
    Activity a;
    QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(tasks.filePath(tid + "/status"));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        QString name = tid;
        long long n = 0;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("Name:"))
                name = QString::fromUtf8(line.mid(5).trimmed()) + '/' + tid;
            else if (line.contains("ctxt_switches:"))
                n += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
        }
        a.switches += n;
        a.byThread.insert(name, n);
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

// The threads that switched between two readings (new threads count from zero), for a report.
inline QString wokenThreads(const Activity& before, const Activity& after) {
    QString text;
    for (auto it = after.byThread.begin(); it != after.byThread.end(); ++it)
        if (const long long n = it.value() - before.byThread.value(it.key()); n > 0)
            text += QStringLiteral(" %1 +%2").arg(it.key()).arg(n);
    return text;
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
