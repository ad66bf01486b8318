#pragma once
// The query timeout of an ODBC statement: SQL_ATTR_QUERY_TIMEOUT on the statement handle
// behind a prepared QSqlQuery of the QODBC driver. Kept apart so that the ODBC headers
// (unixODBC's sql.h, whose type names clash with others) reach this one file only.

class QSqlQuery;

namespace zk {

// Sets the timeout in seconds; false when there is no ODBC statement handle, or the program
// was built without the ODBC headers (then the connection's SQL_ATTR_CONNECTION_TIMEOUT
// still bounds every request).
bool setOdbcQueryTimeout(QSqlQuery &query, int seconds);

} // namespace zk
