// Announces as sipper-sila does: sila_net_announce UUID PORT STATE_DIR NAME, then
// each line read is a new server name, until "exit" or the end of the input.
#include <iostream>

#include "sila/net/DiscoveryAnnouncer.h"
#include "sila/net/ServerCertificate.h"

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    const ServerCertificate cert =
        ServerCertificate::load_or_create(argv[3], argv[1], {"localhost"});
    auto txt = [&](const std::string& name) {
        return DiscoveryAnnouncer::txt_record("1.0", name, "Sipper under test", cert.cert_pem(),
                                              cert.self_signed());
    };
    DiscoveryAnnouncer announcer([](const std::string& line) { std::cout << line << std::endl; });
    announcer.announce(argv[1], std::stoi(argv[2]), txt(argv[4]));
    for (std::string name; std::getline(std::cin, name) && name != "exit";)
        announcer.update(txt(name));
}
