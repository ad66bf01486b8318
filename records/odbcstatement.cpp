#include "records/odbcstatement.h"

#include <QSqlQuery>
#include <QSqlResult>
#include <QVariant>

#ifdef ZK_HAVE_ODBC
#include <sql.h>
#include <sqlext.h>
#endif

namespace zk {

bool setOdbcQueryTimeout(QSqlQuery &query, int seconds)
{
#ifdef ZK_HAVE_ODBC
    const QSqlResult *result = query.result();
    if (!result)
        return false;
    // QODBC hands its SQLHSTMT over as a QVariant holding the handle.
    const QVariant h = result->handle();
    if (!h.isValid() || h.metaType().sizeOf() != int(sizeof(SQLHANDLE)))
        return false;
    SQLHANDLE statement = *static_cast<const SQLHANDLE *>(h.constData());
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

} // namespace zk
