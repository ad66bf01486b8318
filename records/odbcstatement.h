#pragma once
// Calls into the ODBC API behind the QODBC driver: SQL_ATTR_QUERY_TIMEOUT on the statement
// handle of a prepared QSqlQuery, and SQL_ATTR_CONNECTION_DEAD of the connection handle. Kept
// apart so that the ODBC headers (unixODBC's sql.h, whose type names clash with others) reach
// this one file only.

class QSqlDatabase;
class QSqlQuery;

namespace zk {

// Sets the timeout in seconds; false when there is no ODBC statement handle, or the program
// was built without the ODBC headers (then the connection's SQL_ATTR_CONNECTION_TIMEOUT
// still bounds every request).
bool setOdbcQueryTimeout(QSqlQuery &query, int seconds);

// The ODBC driver reports the connection's link lost (the server closed it, the network cut
// it). False when it reports it alive, cannot tell, or the connection is not one of QODBC.
bool odbcConnectionDead(const QSqlDatabase &database);

} // namespace zk
