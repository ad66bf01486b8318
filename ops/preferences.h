#pragma once
// Preferences and the run-time switches decided at start-up.
//
// The preferences key is QSettings(organisation "Kalvimet", application
// "Zelta-KN") at user scope: an INI file in the user's config folder (the registry
// key HKEY_CURRENT_USER\Software\Kalvimet\Zelta-KN on Windows). The key exists
// when that file exists, even empty. Start-up opens the key and creates it (an
// empty file) when missing; close writes only into a key that exists and never
// creates one, so deleting the file stops the program from saving anything.
//
// The file holds the production database's login (the group "Electrometer", value
// "Password"): the program creates it, and leaves it after each rewrite, readable and
// writable by its owner alone (0600).

#include <QString>
#include <QStringList>
#include <array>
#include <optional>

class QSettings;

namespace zk {

extern const QString SqlMarkerFile; // "SettingSql.kvm"

struct Modes {
    int operatingMode = 2; // bit 0 master mode, bit 1 password editing
    bool sqlMode = false;
    bool masterMode() const { return operatingMode & 1; }
    bool passwordEditing() const { return operatingMode & 2; }
};

// Start at 2; +1 with "Master"; -2 with "NoUser"; the marker file sets bit 0 when
// clear and switches SQL mode on; otherwise SQL mode follows the value "Sql".
Modes deriveModes(bool master, bool noUser, bool sqlValue, bool markerFile);

// The store used for the preferences key (tests point it elsewhere); empty
// arguments restore "Kalvimet" / "Zelta-KN".
void setPreferencesStore(const QString &organisation, const QString &application);
QString preferencesOrganisation();
QString preferencesApplication();
// Path of the file that holds the key.
QString preferencesFile();
bool preferencesKeyExists();
// Creates the file, readable by its owner alone, when it is missing; false when it cannot.
bool createPreferencesFile();

// What start-up reads from the key.
struct StartPreferences {
    bool opened = false;   // the key could be opened (or created)
    int port = 1;          // "Port", 1 when missing
    bool master = false;   // presence of "Master"
    bool noUser = false;   // presence of "NoUser"
    bool sql = false;      // presence of "Sql"
    bool password = false; // presence of "Password"
    std::array<std::optional<int>, 3> ddm; // "DDMA", "DDMB", "DDMC" when present
};

// Opens the key, creating it when missing, and reads it. A value of the wrong type
// throws zk::Error with a Russian text.
StartPreferences readStartPreferences();

// What close writes: "Port" when `port` is not 0, the DDM numbers when `saveDdm`.
// Only into an existing key that may be rewritten; returns false (and writes nothing) when it
// is missing or holds a value a rewrite would cut short.
bool saveClosePreferences(int port, bool saveDdm, const std::array<int, 3> &ddm);

// The warning for a preferences file that holds a database password (a non-empty
// "Electrometer/Password") and that other users may read or write (any permission bit for
// the group or others, as PostgreSQL's client judges a password file): it names the file and
// the command that mends it, "chmod 600 FILE". Empty otherwise, and on Windows. The window
// shows it at start, the command line prints it on stderr.
QString preferencesExposureWarning();

// The values of the group "Electrometer" that the preferences file `text` (its raw bytes) holds
// with a ";" or a "," outside quotes, by key in file order. QSettings reads such a value only
// up to its first ";" (the rest counts as a comment) and splits it into a list at ",", and a
// rewrite of the file keeps only what it read: an ODBC connect string must be quoted,
// DatabaseName="Driver={...};Server=...".
QStringList unquotedConnectionValues(const QByteArray &text);
// For the preferences file: the words that go with a failed connection, naming the file and
// the values and showing how to write them; empty when every value is read whole (and on
// Windows, whose registry has no such syntax).
QString unquotedConnectionHint();
// The preferences file may be rewritten: it holds no value that a rewrite would cut short.
// The program's own writes (the port at close, "Verify") skip a file that does.
bool preferencesRewritable();

// The SQL marker file in `folder` (the working directory by default).
bool sqlMarkerExists(const QString &folder = QString());

// "Verify": the window reads every settings write back. Off when missing; written only
// into an existing key.
bool verifyPreference();
void setVerifyPreference(bool on);

// The modes as the window would fix them at start-up here: the values "Master",
// "NoUser" and "Sql" of the preferences and the marker file in the working
// directory. Reads only: a missing key is not created.
Modes modesHere();

} // namespace zk
