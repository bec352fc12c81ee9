#include "sila/net/DiscoveryAnnouncer.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/error.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <utility>

namespace {

constexpr std::size_t TXT_STRING_LIMIT = 255;
// After a conflict with another host's announcement of the same name, how
// often to try again (that host may go away).
constexpr unsigned COLLISION_RETRY_MS = 60000;

struct StringList {
    AvahiStringList* list = nullptr;
    explicit StringList(const DiscoveryAnnouncer::Txt& txt) {
        for (const auto& [key, value] : txt)
            list = avahi_string_list_add_pair(list, key.c_str(), value.c_str());
    }
    ~StringList() { avahi_string_list_free(list); }
    StringList(const StringList&) = delete;
    StringList& operator=(const StringList&) = delete;
};

}  // namespace

// Everything below is touched by Avahi's thread in its callbacks and, with
// the thread's lock held, by the owner's calls.
struct DiscoveryAnnouncer::Avahi {
    explicit Avahi(Log& log) : log(log) {}

    Log& log;
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
    AvahiTimeout* retry = nullptr;
    std::string uuid;
    int port = 0;
    Txt txt;
    bool absence_logged = false;
    bool collision_logged = false;

    std::string name() const { return uuid + "." + SERVICE_TYPE; }

    void connect() {
        int error = 0;
        // NO_FAIL: without a daemon the client waits for one instead of
        // failing, and then calls on_client with S_RUNNING.
        client = avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL, on_client,
                                  this, &error);
        if (client == nullptr)
            log("Discovery off: cannot reach the system bus for the Avahi daemon (" +
                std::string(avahi_strerror(error)) + ")");
    }

    void add_service() {
        if (group == nullptr) group = avahi_entry_group_new(client, on_group, this);
        if (group == nullptr) {
            log("Discovery: cannot announce " + name() + ": " +
                avahi_strerror(avahi_client_errno(client)));
            return;
        }
        if (!avahi_entry_group_is_empty(group)) return;
        StringList strings(txt);
        int error = avahi_entry_group_add_service_strlst(
            group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), uuid.c_str(),
            SERVICE_TYPE, nullptr, nullptr, static_cast<uint16_t>(port), strings.list);
        if (error == AVAHI_ERR_COLLISION) return on_collision();
        if (error >= 0) error = avahi_entry_group_commit(group);
        if (error < 0) log("Discovery: cannot announce " + name() + ": " + avahi_strerror(error));
    }

    // The name is the server's UUID and stays so, even taken: a client
    // knows the server by it. So no other name is chosen; the announcement
    // waits for the other holder to go.
    void on_collision() {
        if (!collision_logged)
            log("Discovery: " + name() +
                " is announced by another server already (a copy of this one's state "
                "directory?); trying again every minute");
        collision_logged = true;
        if (group != nullptr) avahi_entry_group_reset(group);
        const AvahiPoll* api = avahi_threaded_poll_get(poll);
        struct timeval when;
        avahi_elapse_time(&when, COLLISION_RETRY_MS, 0);
        if (retry == nullptr)
            retry = api->timeout_new(api, &when, on_retry, this);
        else
            api->timeout_update(retry, &when);
    }

    // Avahi disarms a timeout before calling it; on_collision arms it again.
    static void on_retry(AvahiTimeout*, void* self) {
        Avahi& a = *static_cast<Avahi*>(self);
        if (a.client != nullptr && avahi_client_get_state(a.client) == AVAHI_CLIENT_S_RUNNING)
            a.add_service();
    }

    static void on_client(AvahiClient* client, AvahiClientState state, void* self) {
        Avahi& a = *static_cast<Avahi*>(self);
        a.client = client;  // called before avahi_client_new returns
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
                if (a.absence_logged) a.log("Discovery: the Avahi daemon is there now");
                a.absence_logged = false;
                a.add_service();
                break;
            case AVAHI_CLIENT_S_COLLISION:
            case AVAHI_CLIENT_S_REGISTERING:
                // The daemon is renaming its host; the service is announced
                // again under the new host name once it is S_RUNNING.
                if (a.group != nullptr) avahi_entry_group_reset(a.group);
                break;
            case AVAHI_CLIENT_CONNECTING:
                if (!a.absence_logged)
                    a.log("Discovery: no Avahi daemon running; " + a.name() +
                          " is announced once one starts");
                a.absence_logged = true;
                break;
            case AVAHI_CLIENT_FAILURE:
                if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED) {
                    // The daemon stopped or restarted: its registrations are
                    // gone with it, so start over with a new client.
                    a.log("Discovery: the Avahi daemon went away; " + a.name() +
                          " is announced again once it is back");
                    a.absence_logged = true;
                    avahi_client_free(client);
                    a.client = nullptr;
                    a.group = nullptr;
                    a.connect();
                } else {
                    a.log("Discovery off: the Avahi client failed: " +
                          std::string(avahi_strerror(avahi_client_errno(client))));
                }
                break;
        }
    }

    static void on_group(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
        Avahi& a = *static_cast<Avahi*>(self);
        a.group = group;  // called before avahi_entry_group_new returns
        switch (state) {
            case AVAHI_ENTRY_GROUP_ESTABLISHED:
                a.collision_logged = false;
                a.log("Discovery: announced " + a.name() + " on port " + std::to_string(a.port));
                break;
            case AVAHI_ENTRY_GROUP_COLLISION:
                a.on_collision();
                break;
            case AVAHI_ENTRY_GROUP_FAILURE:
                a.log("Discovery: announcing " + a.name() + " failed: " +
                      avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
                break;
            case AVAHI_ENTRY_GROUP_UNCOMMITED:
            case AVAHI_ENTRY_GROUP_REGISTERING:
                break;
        }
    }
};

DiscoveryAnnouncer::DiscoveryAnnouncer(Log log)
    : log_(std::move(log)), avahi_(std::make_unique<Avahi>(log_)) {}

DiscoveryAnnouncer::~DiscoveryAnnouncer() {
    if (avahi_->poll == nullptr) return;
    // Stopped first so that no callback runs while the client goes; freeing
    // the client withdraws its services.
    avahi_threaded_poll_stop(avahi_->poll);
    if (avahi_->client != nullptr) avahi_client_free(avahi_->client);
    avahi_threaded_poll_free(avahi_->poll);
}

bool DiscoveryAnnouncer::announce(const std::string& uuid, int port, const Txt& txt) {
    Avahi& a = *avahi_;
    if (a.poll != nullptr) {
        log_("Discovery: " + a.name() + " is announced already");
        return false;
    }
    a.uuid = uuid;
    a.port = port;
    a.txt = txt;
    a.poll = avahi_threaded_poll_new();
    if (a.poll == nullptr) {
        log_("Discovery off: cannot start Avahi's event thread");
        return false;
    }
    a.connect();
    if (a.client == nullptr) return false;
    bool reached = avahi_client_get_state(a.client) != AVAHI_CLIENT_CONNECTING;
    if (avahi_threaded_poll_start(a.poll) < 0) {
        log_("Discovery off: cannot start Avahi's event thread");
        avahi_client_free(a.client);
        a.client = nullptr;
        return false;
    }
    return reached;
}

void DiscoveryAnnouncer::update(const Txt& txt) {
    Avahi& a = *avahi_;
    if (a.poll == nullptr) {
        a.txt = txt;
        return;
    }
    avahi_threaded_poll_lock(a.poll);
    a.txt = txt;
    if (a.group != nullptr && !avahi_entry_group_is_empty(a.group)) {
        StringList strings(txt);
        int error = avahi_entry_group_update_service_txt_strlst(
            a.group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), a.uuid.c_str(),
            SERVICE_TYPE, nullptr, strings.list);
        if (error < 0)
            log_("Discovery: cannot update the TXT record of " + a.name() + ": " +
                 avahi_strerror(error));
    }
    avahi_threaded_poll_unlock(a.poll);
}

DiscoveryAnnouncer::Txt DiscoveryAnnouncer::txt_record(const std::string& sila_version,
                                                       const std::string& server_name,
                                                       const std::string& description,
                                                       const std::string& cert_pem,
                                                       bool self_signed) {
    Txt txt;
    auto put = [&txt](const std::string& key, std::string value) {
        std::size_t limit = TXT_STRING_LIMIT - key.size() - 1;  // "key=value"
        if (value.size() > limit) {
            // Back to the first byte of the character that would be split.
            while (limit > 0 && (static_cast<unsigned char>(value[limit]) & 0xC0) == 0x80) --limit;
            value.resize(limit);
        }
        if (!value.empty()) txt[key] = std::move(value);
    };
    put("version", sila_version);
    put("server_name", server_name);
    put("description", description);
    if (!self_signed) return txt;
    // One string per PEM line of the certificate itself; anything after it
    // in the file is not the certificate clients have to trust.
    std::size_t line_no = 0;
    std::size_t start = 0;
    while (start < cert_pem.size()) {
        std::size_t end = cert_pem.find('\n', start);
        if (end == std::string::npos) end = cert_pem.size();
        std::string line = cert_pem.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        put("ca" + std::to_string(line_no++), line);
        if (line.rfind("-----END ", 0) == 0) break;
    }
    return txt;
}
