#pragma once

#include <cstdint>
#include <string>

// TablePlus's list of saved connections: adding a ready-made PostgreSQL entry for one of our
// local servers, removing entries by name, and finding, detecting and launching TablePlus.
//
// The list lives in Connections.plist under the TablePlus data folder:
// $QUILLHAVEN_TABLEPLUS_DIR when set, otherwise $XDG_DATA_HOME/com.tinyapp.TablePlus
// (~/.local/share/com.tinyapp.TablePlus by default). The file is looked up anew by every call;
// nothing is kept between calls. Failures are reported as lines on standard output.
namespace quillhaven {
struct Connection;
}

namespace quillhaven::TablePlusHelper {

// Appends a PostgreSQL entry for 127.0.0.1:port named `name` whose database name comes from
// dbPath. False when an entry of that name exists, when the file is refused (it holds data
// that cannot be read as a list) or when writing failed.
bool addConnection(const std::string& name, std::uint16_t port, const std::string& dbPath);
// The same for a saved connection: its name, localPort and dbPath.
bool addConnection(const Connection& connection);

// Removes every entry named `name`; the file is rewritten only when something was removed.
void removeConnection(const std::string& name);

// A `tableplus` executable on PATH or /opt/tableplus/tableplus.
bool isTablePlusInstalled();

// A live process named `tableplus`.
bool isTablePlusRunning();

// Starts the installed executable in a session of its own, without arguments; does nothing
// when TablePlus is not installed.
void openTablePlus();

} // namespace quillhaven::TablePlusHelper
