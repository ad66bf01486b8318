#include "records/odbcstatement.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QSqlResult>
#include <QVariant>

#ifdef ZK_HAVE_ODBC
#include <sql.h>
#include <sqlext.h>
#endif

namespace zk {

#ifdef ZK_HAVE_ODBC
namespace {
// The ODBC handle a QVariant of the QODBC driver holds; null when it holds none.
SQLHANDLE odbcHandle(const QVariant &h)
{
    if (!h.isValid() || h.metaType().sizeOf() != int(sizeof(SQLHANDLE)))
        return nullptr;
    return *static_cast<const SQLHANDLE *>(h.constData());
}
} // namespace
#endif

bool setOdbcQueryTimeout(QSqlQuery &query, int seconds)
{
#ifdef ZK_HAVE_ODBC
    const QSqlResult *result = query.result();
    if (!result)
        return false;
    // QODBC hands its SQLHSTMT over as a QVariant holding the handle.
    SQLHANDLE statement = odbcHandle(result->handle());
    if (!statement)
        return false;
    const SQLRETURN r = SQLSetStmtAttr(statement, SQL_ATTR_QUERY_TIMEOUT,
                                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(seconds)), 0);
    return SQL_SUCCEEDED(r);
#else
    Q_UNUSED(query);
    Q_UNUSED(seconds);
    return false;
#endif
}

bool odbcConnectionDead(const QSqlDatabase &database)
{
#ifdef ZK_HAVE_ODBC
    if (database.driverName() != QLatin1String("QODBC") || !database.driver())
        return false;
    SQLHANDLE connection = odbcHandle(database.driver()->handle());
    if (!connection)
        return false;
    SQLUINTEGER dead = SQL_CD_FALSE;
    const SQLRETURN r = SQLGetConnectAttr(connection, SQL_ATTR_CONNECTION_DEAD, &dead, SQL_IS_UINTEGER, nullptr);
    return SQL_SUCCEEDED(r) && dead == SQL_CD_TRUE;
#else
    Q_UNUSED(database);
    return false;
#endif
}

} // namespace zk
