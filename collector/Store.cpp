#include "Store.h"

#include "PostgresStore.h"
#include "SqliteStore.h"

std::unique_ptr<Store> Store::open(const QString &database, QString *error)
{
    QString ignored;
    if (!error)
        error = &ignored;
    if (database.startsWith(QLatin1String("sqlite:")))
        return SqliteStore::open(database.mid(7), error);
    if (database.startsWith(QLatin1String("postgresql://"))
        || database.startsWith(QLatin1String("postgres://")))
        return PostgresStore::open(database, error);
    *error = QStringLiteral("unknown database \"%1\": give sqlite:PATH or a "
                            "postgresql://... URI")
                 .arg(database);
    return nullptr;
}
