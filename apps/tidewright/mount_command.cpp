// tidewright mount MOUNTPOINT [-f] [--poll SECONDS] [--write-back SECONDS] [--cache-max-size SIZE]
// [-o OPTIONS] — the domain as a folder, through FUSE.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>

#include "byte_size.h"
#include "commands.h"
#include "mount/control_channel.h"
#include "mount/mount.h"
#include "mount/mount_log.h"
#include "mount/state_store.h"
#include "platform/file_descriptor.h"
#include "platform/log.h"
#include "records/config.h"
#include "status_text.h"
#include "terminal_text.h"

namespace tw::cli {
namespace {

struct MountArguments {
    std::string mountpoint;
    bool foreground = false;
    double pollSeconds = 10;
    std::string cacheMaxSize = "10G";  // parseByteSize
    double deadlineSeconds = 90;
    double writeBackSeconds = 5;
    std::string options;
};

// The mount's own lines always; the extension's with --verbose.
void installLogSink(bool verbose) {
    setLogSink([verbose, sink = descriptorSink(STDERR_FILENO, terminalText)](const LogRecord& record) {
        if (verbose || record.subsystem == mount::mountLogSubsystem) sink(record);
    });
}

// The systemd status line: "offline" while the service cannot be reached, the last sync, and how many
// changes wait when some do. Told of a sync on the change tracker's thread and of the count and the
// reachability on whichever thread changed them; a line is sent under the lock, so that an older one never
// arrives after a newer one. Nothing is sent before ready().
class SystemdStatus {
public:
    void ready(int waiting) {
        std::scoped_lock lock(mutex_);
        ready_ = true;
        waiting_ = waiting;
        mount::notifySystemd("READY=1\nSTATUS=" + line());
    }
    void synchronized(std::chrono::system_clock::time_point when) {
        std::scoped_lock lock(mutex_);
        lastSync_ = when;
        if (ready_) mount::notifySystemd("STATUS=" + line());
    }
    void waiting(int count) {
        std::scoped_lock lock(mutex_);
        if (count == waiting_) return;
        waiting_ = count;
        if (ready_) mount::notifySystemd("STATUS=" + line());
    }
    void offline(bool offline) {
        std::scoped_lock lock(mutex_);
        if (offline == offline_) return;
        offline_ = offline;
        if (ready_) mount::notifySystemd("STATUS=" + line());
    }

private:
    std::string line() const {
        std::string text = lastSync_ ? "last sync " + clockText(*lastSync_) : "mounted, not synchronized yet";
        if (offline_) text = "offline (the service cannot be reached), " + text;
        if (waiting_ > 0) text += ", " + changesWaiting(waiting_);
        return text;
    }

    std::mutex mutex_;
    bool ready_ = false;
    bool offline_ = false;
    int waiting_ = 0;
    std::optional<std::chrono::system_clock::time_point> lastSync_;
};

// Mounts and serves until unmounted; `mounted` is called once the mount is up.
int serve(const Options& options, const mount::MountSettings& settings,
          const std::function<void()>& mounted) {
    CliHost host(options);
    installLogSink(options.verbose);
    auto extension = std::shared_ptr<host::ReplicatedExtension>(host.extension().shared_from_this());
    auto domainSettings = settings;
    const auto& domain = host.extension().domain().identifier;
    domainSettings.space = domain;
    domainSettings.cacheFolder = mount::cacheFolder() / domain;
    domainSettings.stateFile = mount::stateFolder() / (domain + ".sqlite");
    // Claimed before mounting: a second mount of the space is refused (MountRefused) before it mounts.
    auto control = mount::ControlSocket::claim(domain);
    SystemdStatus systemd;  // outlives the session, whose threads call it until it has stopped
    mount::Mount session(extension, domainSettings, true);
    auto& filesystem = session.filesystem();
    filesystem.onSynchronized(
        [&systemd](std::chrono::system_clock::time_point when) { systemd.synchronized(when); });
    filesystem.onWaitingChanged([&systemd](int waiting) { systemd.waiting(waiting); });
    filesystem.onOfflineChanged([&systemd](bool offline) { systemd.offline(offline); });
    const auto config = Config::fromUserInfo(host.extension().domain().userInfo);
    mount::ControlServer channel(
        std::move(control),
        {.space = config ? config->base : domain, .mountpoint = settings.mountpoint.string()},
        [&filesystem] { return filesystem.status(); },
        [&filesystem](std::chrono::steady_clock::time_point deadline) {
            return filesystem.uploadNow(deadline);
        });
    mount::mountLog().info("mounted on " + settings.mountpoint.string());
    const auto now = filesystem.status();
    systemd.offline(now.offline);  // a start without the service may have found it gone already
    systemd.ready(now.waiting());
    mounted();
    const int status = session.serve();
    mount::notifySystemd("STOPPING=1");
    channel.stop();  // no status is asked of a filesystem that is going
    mount::mountLog().info("unmounted from " + settings.mountpoint.string());
    return status == 0 ? 0 : 1;
}

// Runs `serve` in a child that stays behind; the parent returns once the mount is up (0) or the child
// has failed (its exit status).
int detached(const std::function<int(const std::function<void()>&)>& run) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    FileDescriptor readEnd(ends[0]), writeEnd(ends[1]);
    std::cout.flush();
    std::cerr.flush();
    const pid_t child = ::fork();
    if (child < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (child == 0) {
        readEnd.reset();
        ::setsid();
        int status;
        try {
            status = run([&] {
                // Up: the parent may go; the daemon keeps no terminal and no working folder.
                if (::chdir("/") != 0) {
                }
                const int null = ::open("/dev/null", O_RDWR);
                if (null >= 0) {
                    ::dup2(null, STDIN_FILENO);
                    ::dup2(null, STDOUT_FILENO);
                }
                const char up = 1;
                if (::write(writeEnd.get(), &up, 1) != 1) {
                }
                writeEnd.reset();
                if (null >= 0) {
                    ::dup2(null, STDERR_FILENO);
                    if (null > STDERR_FILENO) ::close(null);
                }
            });
        } catch (const mount::MountRefused& refused) {
            std::cerr << "tidewright: " << refused.what() << "\n";
            status = 2;
        } catch (...) {
            CliHost::printErrorTo(std::cerr, Error::from(std::current_exception()), false);
            status = 1;
        }
        std::cerr.flush();
        std::_Exit(status);
    }
    writeEnd.reset();  // so that the read ends when the child goes without saying it is up
    char up = 0;
    ssize_t n;
    do
        n = ::read(readEnd.get(), &up, 1);
    while (n < 0 && errno == EINTR);
    if (n == 1) return 0;
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

void addMountCommand(CLI::App& app, StandaloneAction* chosen) {
    auto arguments = std::make_shared<MountArguments>();
    auto* command = app.add_subcommand("mount", "Mount the domain as a folder");
    addRateOptions(*command);
    command->add_option("MOUNTPOINT", arguments->mountpoint, "an empty folder")->required();
    command->add_flag("-f,--foreground", arguments->foreground, "stay in the foreground");
    command->add_option("--poll", arguments->pollSeconds, "seconds between looks at the change feed")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    command
        ->add_option("--cache-max-size", arguments->cacheMaxSize,
                     "cached contents kept at most, in bytes or with K, M, G or T (powers of 1024)")
        ->capture_default_str()
        ->check(CLI::Validator(
            [](const std::string& text) {
                try {
                    return parseByteSize(text) > 0 ? std::string() : "a cache of 0 bytes holds nothing";
                } catch (const UsageError& refused) {
                    return std::string(refused.what());
                }
            },
            "SIZE"));
    command
        ->add_option("--deadline", arguments->deadlineSeconds,
                     "seconds a request waits for the service at most")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    command
        ->add_option("--write-back", arguments->writeBackSeconds,
                     "seconds from the last close of a changed file to its upload")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    command->add_option("-o", arguments->options, "mount options (uid=, gid=, umask= and FUSE's own)");
    command->callback([chosen, arguments] {
        *chosen = [arguments](const Options& options) {
            mount::MountSettings settings;
            std::error_code error;
            settings.mountpoint = std::filesystem::absolute(arguments->mountpoint, error);
            settings.pollInterval = std::chrono::milliseconds(std::llround(arguments->pollSeconds * 1000));
            settings.deadline = std::chrono::milliseconds(std::llround(arguments->deadlineSeconds * 1000));
            settings.cacheMaxBytes = parseByteSize(arguments->cacheMaxSize);
            settings.writeBack = std::chrono::milliseconds(std::llround(arguments->writeBackSeconds * 1000));
            settings.uid = ::getuid();
            settings.gid = ::getgid();
            try {
                mount::applyMountOptions(arguments->options, settings);
                mount::checkMountable(settings.mountpoint);
            } catch (const mount::MountRefused& refused) {
                throw UsageError(refused.what());
            }
            const auto run = [options, settings](const std::function<void()>& mounted) {
                return serve(options, settings, mounted);
            };
            if (arguments->foreground) {
                try {
                    return run([] {});
                } catch (const mount::MountRefused& refused) {
                    throw UsageError(refused.what());
                }
            }
            return detached(run);
        };
    });
}

}  // namespace tw::cli
