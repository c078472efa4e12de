#pragma once

// A private PostgreSQL server for one test program: a fresh cluster in a temporary folder,
// reachable only through a Unix socket in that folder, stopped when the object goes. As root
// the server runs as the "postgres" user, since PostgreSQL refuses to run as root.

#include <QCollator>
#include <QFile>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <libpq-fe.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

class PostgresCluster
{
public:
    PostgresCluster() : m_dir(QStringLiteral("/tmp/kelvane-pg-XXXXXX")) {}
    ~PostgresCluster() { stop(); }
    PostgresCluster(const PostgresCluster &) = delete;
    PostgresCluster &operator=(const PostgresCluster &) = delete;

    // Creates the cluster on the first call and starts the server; false with *error set when
    // PostgreSQL is not installed or does not come up.
    bool start(QString *error)
    {
        if (m_running)
            return true;
        if (!m_dir.isValid()) {
            *error = QStringLiteral("cannot create a temporary folder for PostgreSQL");
            return false;
        }
        if (m_bin.isEmpty()) {
            m_bin = binDir();
            if (m_bin.isEmpty()) {
                *error = QStringLiteral("PostgreSQL's server programs are not installed (no "
                                        "/usr/lib/postgresql/*/bin/initdb); run "
                                        "scripts/install-deps.sh");
                return false;
            }
            if (geteuid() == 0) {
                const passwd *user = getpwnam("postgres");
                if (!user) {
                    *error = QStringLiteral("running as root but there is no postgres user");
                    return false;
                }
                m_asUser = QStringLiteral("postgres");
                if (chown(QFile::encodeName(m_dir.path()).constData(), user->pw_uid,
                          user->pw_gid) != 0) {
                    *error = QStringLiteral("cannot hand %1 to postgres").arg(m_dir.path());
                    return false;
                }
            }
            if (!run(QStringLiteral("initdb"),
                     {QStringLiteral("-D"), dataDir(), QStringLiteral("-U"),
                      QStringLiteral("postgres"), QStringLiteral("-A"), QStringLiteral("trust"),
                      QStringLiteral("-E"), QStringLiteral("UTF8"),
                      QStringLiteral("--locale=C"), QStringLiteral("--no-sync")},
                     error))
                return false;
        }
        // No TCP at all: the socket in the private folder is the only way in.
        const QString options = QStringLiteral("-c listen_addresses='' -k '%1' -p %2 "
                                               "-c fsync=on -c max_connections=40")
                                    .arg(m_dir.path())
                                    .arg(port);
        if (!run(QStringLiteral("pg_ctl"),
                 {QStringLiteral("-D"), dataDir(), QStringLiteral("-l"),
                  m_dir.filePath(QStringLiteral("server.log")), QStringLiteral("-w"),
                  QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("-o"), options,
                  QStringLiteral("start")},
                 error))
            return false;
        m_running = true;
        return true;
    }

    void stop()
    {
        if (!m_running)
            return;
        QString ignored;
        run(QStringLiteral("pg_ctl"),
            {QStringLiteral("-D"), dataDir(), QStringLiteral("-m"), QStringLiteral("fast"),
             QStringLiteral("-w"), QStringLiteral("stop")},
            &ignored);
        m_running = false;
    }

    // A libpq URI for a database of the cluster.
    QString uri(const QString &database = QStringLiteral("postgres")) const
    {
        return QStringLiteral("postgresql:///%1?host=%2&port=%3&user=postgres")
            .arg(database, QString::fromLatin1(QUrl::toPercentEncoding(m_dir.path())),
                 QString::number(port));
    }

    // Creates an empty database and returns its URI, or an empty string with *error set.
    QString createDatabase(QString *error)
    {
        // The name comes from a counter, never from input.
        const QString name = QStringLiteral("test_%1").arg(++m_databases);
        PGconn *conn = PQconnectdb(uri().toUtf8().constData());
        PGresult *result = nullptr;
        if (PQstatus(conn) == CONNECTION_OK) {
            const QByteArray sql = "CREATE DATABASE " + name.toLatin1();
            result = PQexec(conn, sql.constData());
        }
        const bool ok = result && PQresultStatus(result) == PGRES_COMMAND_OK;
        if (!ok)
            *error = QStringLiteral("cannot create a database: %1")
                         .arg(QString::fromUtf8(PQerrorMessage(conn)));
        PQclear(result);
        PQfinish(conn);
        return ok ? uri(name) : QString();
    }

    QString logPath() const { return m_dir.filePath(QStringLiteral("server.log")); }

    static const int port = 5432;

private:
    static QString binDir()
    {
        QStringList versions = QDir(QStringLiteral("/usr/lib/postgresql"))
                                   .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QCollator numeric;
        numeric.setNumericMode(true);
        std::sort(versions.begin(), versions.end(), numeric);
        for (auto v = versions.crbegin(); v != versions.crend(); ++v) {
            const QString bin = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(*v);
            if (QFile::exists(bin + QStringLiteral("/initdb"))
                && QFile::exists(bin + QStringLiteral("/pg_ctl")))
                return bin;
        }
        return {};
    }

    QString dataDir() const { return m_dir.filePath(QStringLiteral("data")); }

    bool run(const QString &tool, const QStringList &arguments, QString *error)
    {
        QProcess process;
        // The server user may not be allowed into the current folder.
        process.setWorkingDirectory(m_dir.path());
        process.setProcessChannelMode(QProcess::MergedChannels);
        const QString program = m_bin + QLatin1Char('/') + tool;
        if (m_asUser.isEmpty())
            process.start(program, arguments);
        else
            process.start(QStringLiteral("runuser"),
                          QStringList{QStringLiteral("-u"), m_asUser, QStringLiteral("--"),
                                      program}
                              + arguments);
        if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit
            || process.exitCode() != 0) {
            QFile log(logPath());
            log.open(QIODevice::ReadOnly);
            *error = QStringLiteral("%1 failed: %2 %3 %4")
                         .arg(tool, process.errorString(),
                              QString::fromLocal8Bit(process.readAll()),
                              QString::fromLocal8Bit(log.readAll().right(2000)));
            return false;
        }
        return true;
    }

    QTemporaryDir m_dir;
    QString m_bin;
    QString m_asUser;
    bool m_running = false;
    int m_databases = 0;
};
