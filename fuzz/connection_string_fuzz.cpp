// The naming of a database from its completed connection string: the data-source name and the
// title, for any text the driver might hand back and any server and user names.
#include "probe/ConnectionStrings.h"
#include "probe/DatabaseProbe.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Three fields split at NUL bytes: completed string, server name, user name.
    const QList<QByteArray> parts =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size)).split('\0');
    const QString completed = QString::fromUtf8(parts.value(0));
    const QString server = QString::fromUtf8(parts.value(1));
    const QString user = QString::fromUtf8(parts.value(2));

    const QString dsn = ConnectionStrings::DataSourceNameOf(completed);
    if (dsn != dsn.toUpper() || dsn.contains(u';'))
        std::abort(); // an upper-cased name cut at the first ';'
    if (!dsn.isEmpty() && !completed.contains(QLatin1String("DSN=")))
        std::abort();
    const QString title = CDatabaseProbe::DeriveTitle(completed, dsn, server, user);
    const bool named = !dsn.isEmpty() && dsn.compare(QLatin1String("DEFAULT"), Qt::CaseInsensitive);
    if (named && !title.contains(dsn))
        std::abort();
    if (!user.isEmpty() && !title.startsWith(user + u'@'))
        std::abort();
    return 0;
}
