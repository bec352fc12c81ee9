#pragma once
#include <functional>
#include <map>
#include <memory>
#include <string>

// Announces the server on the local network by mDNS/DNS-SD through the Avahi
// daemon: service "<uuid>" of type "_sila._tcp" in domain "local." on the
// listen port, with the TXT record built by txt_record().
//
//   DiscoveryAnnouncer announcer([&](const std::string& line) { log_msg(line, 0); });
//   announcer.announce(uuid, 50052, DiscoveryAnnouncer::txt_record("1.0", name, description,
//                                                                  cert.cert_pem(),
//                                                                  cert.self_signed()));
//   announcer.update(DiscoveryAnnouncer::txt_record("1.0", new_name, ...));   // SetServerName
//   // the destructor withdraws the service
//
// Discovery never holds up the server: nothing here throws or waits for the
// network. Avahi's own thread does the work; a daemon that is missing at
// start or restarts later is reconnected to and the service registered again
// when it is back. A name (the UUID) another host announces already is left
// to it, not changed: the announcer tries again every minute. Each such
// event is logged once.
class DiscoveryAnnouncer {
  public:
    using Log = std::function<void(const std::string&)>;
    using Txt = std::map<std::string, std::string>;

    static constexpr const char* SERVICE_TYPE = "_sila._tcp";

    // log is called from the caller's thread and from Avahi's thread, one
    // line per call; it must not call back into the announcer.
    explicit DiscoveryAnnouncer(Log log);
    ~DiscoveryAnnouncer();
    DiscoveryAnnouncer(const DiscoveryAnnouncer&) = delete;
    DiscoveryAnnouncer& operator=(const DiscoveryAnnouncer&) = delete;

    // Starts announcing (once per announcer). True when the Avahi daemon was
    // reached and registration is under way; false, after one log line, when
    // there is no daemon or no system bus: the announcer then keeps waiting
    // for a daemon in the background (when the system bus itself was missing,
    // it gives up).
    bool announce(const std::string& uuid, int port, const Txt& txt);

    // Replaces the TXT record (for a new server name); remembered for a
    // later registration when the service is not registered now.
    void update(const Txt& txt);

    // The TXT record: version, server_name, description and, for a
    // self-signed certificate, ca0, ca1, ... one PEM line each. Each
    // "key=value" is cut to 255 bytes at a UTF-8 character boundary; empty
    // values are left out (a key without value counts as absent).
    static Txt txt_record(const std::string& sila_version, const std::string& server_name,
                          const std::string& description, const std::string& cert_pem,
                          bool self_signed);

  private:
    struct Avahi;  // the Avahi objects, kept out of this header

    Log log_;
    std::unique_ptr<Avahi> avahi_;
};
