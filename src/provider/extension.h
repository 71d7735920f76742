#pragma once
// The extension object of one domain: what the host creates with init(domain:) and calls.
//
// Configured or not is fixed at construction: with a usable configuration it owns one Remote for the
// domain's whole life; without one, every asynchronous call answers notAuthenticated (the root and trash
// containers still answer). Calls arrive on any thread, several at once; each asynchronous one runs as a
// task of its own and returns its progress at once.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/host/host.h"
#include "platform/log.h"
#include "platform/progress.h"
#include "records/records.h"
#include "remote/remote.h"

namespace tw {

// The one logger of the extension: subsystem the extension's bundle identifier, category "fp".
const Logger& log();

class FileProviderExtension : public host::ReplicatedExtension,
                              public std::enable_shared_from_this<FileProviderExtension> {
public:
    static constexpr const char* bundleIdentifier = "com.tidewright.desktop.FileProvider";

    // Reads the configuration from the domain's user info and logs "init domain=<id> configured=<bool>".
    // Never fails and sends nothing. Tasks keep the extension alive, so it must be owned by a shared_ptr.
    static std::shared_ptr<FileProviderExtension> make(host::Domain domain);

    const host::Domain& domain() const { return domain_; }
    // The API client; throws the host error notAuthenticated when the domain is not configured.
    std::shared_ptr<const Remote> api() const;
    bool isConfigured() const { return remote_ != nullptr; }

    // Runs `body` as an independent task and returns `progress` at once; cancelling the progress cancels
    // the task. A failure of the body is logged ("operação falhou: <description>") and handed to `fail`
    // once, mapped by fpError. The body reports success itself, as its last step.
    std::shared_ptr<Progress> run(std::shared_ptr<Progress> progress, std::function<void(Error)> fail,
                                  std::function<void()> body) const;

    // Root and trash are answered at once, without configuration; anything else is read from the service.
    std::shared_ptr<Progress> item(const host::ItemIdentifier& identifier, const host::Request& request,
                                   host::ItemCompletion completionHandler) override;
    // Root, working set, trash (compared in this order), else the folder of that identifier.
    std::shared_ptr<host::Enumerator> enumerator(const host::ItemIdentifier& containerIdentifier,
                                                 const host::Request& request) override;
    void invalidate() override {}

protected:
    explicit FileProviderExtension(host::Domain domain);

private:
    host::Domain domain_;
    std::shared_ptr<const Remote> remote_;
    std::shared_ptr<host::Manager> manager_;

    // Guards the two tables below; held only for single table updates, never across a request.
    mutable std::mutex lock_;
    std::map<std::string, Opened> opened_;
};

}  // namespace tw
