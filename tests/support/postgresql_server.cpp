#include "support/postgresql_server.h"

#include "station/factory/odbc_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* kUser = "qeff";  // the cluster's superuser, trusted on loopback

// A port nothing listens on now, on loopback.
int FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(s);
    return port;
}

// Runs a command as the server's user; whether it succeeded.
bool RunAsServerUser(const std::string& command) {
    const std::string line = geteuid() == 0 ? "runuser -u postgres -- " + command : command;
    return std::system((line + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

fs::path PostgresqlServer::Programs() {
    std::vector<fs::path> versions;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator("/usr/lib/postgresql", error)) {
        if (fs::exists(entry.path() / "bin" / "pg_ctl"))
            versions.push_back(entry.path() / "bin");
    }
    std::sort(versions.begin(), versions.end());  // the newest last, as Debian numbers them
    return versions.empty() ? fs::path{} : versions.back();
}

std::string PostgresqlOdbcDriver() {
    for (const char* path : {"/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so", "/usr/lib/aarch64-linux-gnu/odbc/psqlodbcw.so",
                             "/usr/lib/odbc/psqlodbcw.so"}) {
        if (fs::exists(path))
            return path;
    }
    return {};
}

std::unique_ptr<PostgresqlServer> PostgresqlServer::Start(std::string& why) {
    const fs::path bin = Programs();
    if (bin.empty()) {
        why = "PostgreSQL is not installed (postgresql): scripts/install-deps.sh";
        return nullptr;
    }
    if (PostgresqlOdbcDriver().empty()) {
        why = "psqlODBC is not installed (odbc-postgresql): scripts/install-deps.sh";
        return nullptr;
    }
    char name[] = "/tmp/qeff-postgresql-XXXXXX";
    if (!mkdtemp(name)) {
        why = "no temporary folder";
        return nullptr;
    }
    const fs::path folder = name;
    std::unique_ptr<PostgresqlServer> server(new PostgresqlServer(folder, 0));  // removes the folder if it fails
    fs::create_directories(folder / "data");
    fs::create_directories(folder / "run");
    if (geteuid() == 0) {
        const passwd* user = getpwnam("postgres");
        if (!user) {
            why = "the tests run as root and there is no user \"postgres\" to run the server";
            return nullptr;
        }
        fs::permissions(folder, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        for (const char* sub : {"data", "run"}) {
            if (chown((folder / sub).c_str(), user->pw_uid, user->pw_gid) != 0) {
                why = "could not give " + (folder / sub).string() + " to the user postgres";
                return nullptr;
            }
        }
    }
    const std::string data = (folder / "data").string(), run = (folder / "run").string();
    // No waiting for the disk (-N, fsync=off): the cluster goes with the tests.
    if (!RunAsServerUser((bin / "initdb").string() + " -N -D " + data + " -A trust -U " + kUser)) {
        why = "initdb failed in " + data;
        return nullptr;
    }
    // A port found free may be taken before the server binds it: a few tries.
    for (int attempt = 0; attempt < 3 && server->port_ == 0; ++attempt) {
        const int port = FreePort();
        if (RunAsServerUser((bin / "pg_ctl").string() + " -D " + data + " -l " + run + "/server.log -w -o \"-p " +
                            std::to_string(port) + " -k " + run + " -c listen_addresses=127.0.0.1 -c fsync=off\" start"))
            server->port_ = port;
    }
    if (server->port_ == 0) {
        why = "the server did not start: see " + run + "/server.log";
        return nullptr;
    }
    return server;
}

PostgresqlServer::~PostgresqlServer() {
    if (port_ != 0)
        RunAsServerUser((Programs() / "pg_ctl").string() + " -D " + (folder_ / "data").string() + " -m immediate stop");
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

std::string PostgresqlServer::ConnectionString(const std::string& database) const {
    return "Driver=" + PostgresqlOdbcDriver() + ";Server=127.0.0.1;Port=" + std::to_string(port_) +
           ";Database=" + database + ";UID=" + kUser + ";";
}

std::string PostgresqlServer::NewDatabase(std::string& why) {
    DbResult<OdbcConnection> maintenance = OdbcConnection::Open(ConnectionString("postgres"));
    if (!maintenance) {
        why = maintenance.Error().Text();
        return {};
    }
    const std::string name = "line" + std::to_string(++databases_);
    if (DbStatus error = maintenance->Run("CREATE DATABASE " + name)) {
        why = error->Text();
        return {};
    }
    return ConnectionString(name);
}
