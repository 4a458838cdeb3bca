#include "support/postgresql_server.h"

#include "station/factory/odbc_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>
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

// Starts a program as `user` (null: as this process's user), its output
// appended to `log`, ended by SIGQUIT (PostgreSQL's immediate shutdown) if
// this process dies first; its process id, or -1.
pid_t Spawn(const std::vector<std::string>& arguments, const passwd* user, const fs::path& log) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child != 0)
        return child;
    const int output = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (output >= 0) {
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
    }
    if (user && (setgroups(0, nullptr) != 0 || setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0))
        _exit(126);
    // After setuid(), which clears it.
    prctl(PR_SET_PDEATHSIG, SIGQUIT);
    if (getppid() != parent)
        _exit(127);  // the tests died before the line above
    execv(argv[0], argv.data());
    _exit(127);
}

bool Succeeded(pid_t child) {
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

fs::path PostgresqlServer::Programs() {
    std::vector<fs::path> versions;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator("/usr/lib/postgresql", error)) {
        if (fs::exists(entry.path() / "bin" / "postgres"))
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
    if (bin.empty() || PostgresqlOdbcDriver().empty()) {
        why = "PostgreSQL or psqlODBC is not installed (postgresql, odbc-postgresql): scripts/install-deps.sh";
        return nullptr;
    }
    char name[] = "/tmp/qeff-postgresql-XXXXXX";
    if (!mkdtemp(name)) {
        why = "no temporary folder";
        return nullptr;
    }
    std::unique_ptr<PostgresqlServer> server(new PostgresqlServer(name));  // removes the folder if it fails
    const fs::path data = server->folder_ / "data", run = server->folder_ / "run", log = run / "server.log";
    fs::create_directories(data);
    fs::create_directories(run);
    const passwd* user = nullptr;
    if (geteuid() == 0) {
        user = getpwnam("postgres");
        if (!user) {
            why = "the tests run as root and there is no user \"postgres\" to run the server";
            return nullptr;
        }
        fs::permissions(server->folder_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        for (const fs::path& folder : {data, run}) {
            if (chown(folder.c_str(), user->pw_uid, user->pw_gid) != 0) {
                why = "could not give " + folder.string() + " to the user postgres";
                return nullptr;
            }
        }
    }
    // No waiting for the disk (-N, fsync=off): the cluster goes with the tests.
    if (!Succeeded(Spawn({(bin / "initdb").string(), "-N", "-A", "trust", "-U", kUser, "-D", data.string()}, user, log))) {
        why = "initdb failed: see " + log.string();
        return nullptr;
    }
    // A port found free may be taken before the server binds it: a few tries.
    for (int attempt = 0; attempt < 3; ++attempt) {
        server->port_ = FreePort();
        server->server_ = Spawn({(bin / "postgres").string(), "-D", data.string(), "-p", std::to_string(server->port_),
                                 "-k", run.string(), "-c", "listen_addresses=127.0.0.1", "-c", "fsync=off"},
                                user, log);
        // Ready once it takes a login; gone if it could not start.
        for (int wait = 0; wait < 300 && server->server_ > 0; ++wait) {
            if (waitpid(server->server_, nullptr, WNOHANG) == server->server_) {
                server->server_ = -1;
                break;
            }
            if (OdbcConnection::Open(server->ConnectionString() + "Database=postgres;", OdbcTimeouts{.login = std::chrono::seconds{2}}))
                return server;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (server->server_ > 0) {  // running, yet never took a login
            kill(server->server_, SIGQUIT);
            waitpid(std::exchange(server->server_, -1), nullptr, 0);
        }
    }
    why = "the server did not start: see " + log.string();
    return nullptr;
}

PostgresqlServer::~PostgresqlServer() {
    if (server_ > 0) {
        kill(server_, SIGQUIT);  // immediate shutdown: nothing of it is kept
        waitpid(server_, nullptr, 0);
    }
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

std::string PostgresqlServer::ConnectionString() const {
    return "Driver=" + PostgresqlOdbcDriver() + ";Server=127.0.0.1;Port=" + std::to_string(port_) + ";UID=" + kUser + ";";
}
