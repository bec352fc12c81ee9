#pragma once
#include <string>
#include <vector>

// The server's TLS identity: a certificate in PEM with its private key.
//
// Without an operator's certificate the server makes its own on first start
// and keeps it in the state directory, so that a client that trusted it once
// keeps trusting it: subject and issuer Common Name "SiLA2", an extension
// with OID 1.3.6.1.4.1.58583 whose value is the server UUID as ASCII text
// (the octets of the UUID, not wrapped in a further DER string, which is
// what clients reading it as text expect), subjectAltName with the given
// host names and addresses, an ECDSA P-256 key, SHA-256, valid ten years.
//
//   auto c = ServerCertificate::load_or_create("sila", uuid, {"localhost", "127.0.0.1"});
//   auto c = ServerCertificate::from_files("/etc/sipper/tls.crt", "/etc/sipper/tls.key");
//   tls.pem_key_cert_pairs.push_back({c.key_pem(), c.cert_pem()});
//   if (c.self_signed()) ...   // publish c.cert_pem() with the announcement
//
// Every failure raises Exception with a one-line reason naming the file.
class ServerCertificate {
  public:
    // File names inside the state directory.
    static constexpr const char* CERT_FILE = "certificate.pem";
    static constexpr const char* KEY_FILE = "key.pem";
    static constexpr const char* UUID_EXTENSION_OID = "1.3.6.1.4.1.58583";

    // Loads the pair kept in state_dir, or makes and keeps a new one when
    // either file is missing (the directory is created if need be). A stored
    // certificate is used as it is: the host names only shape a new one
    // (remove the files to make one for other names). Refuses a stored
    // certificate whose UUID extension is absent or differs from
    // server_uuid, a key that does not match it, a key readable by group or
    // others, and unreadable files. An entry of host_names that parses as an
    // IPv4 or IPv6 address goes in as an IP address, any other as a DNS name.
    static ServerCertificate load_or_create(const std::string& state_dir,
                                            const std::string& server_uuid,
                                            const std::vector<std::string>& host_names);

    // The operator's certificate (the file may hold a chain, leaf first) and
    // key; refuses a key that does not belong to the certificate.
    static ServerCertificate from_files(const std::string& cert_path, const std::string& key_path);

    const std::string& cert_pem() const { return cert_pem_; }
    const std::string& key_pem() const { return key_pem_; }
    // True when the leaf is its own issuer: then clients cannot trust it by a
    // CA of their own and discovery publishes it.
    bool self_signed() const { return self_signed_; }
    // The UUID extension's text, empty when the certificate has none.
    const std::string& server_uuid() const { return server_uuid_; }

  private:
    ServerCertificate(std::string cert_pem, std::string key_pem, const std::string& origin);

    std::string cert_pem_;
    std::string key_pem_;
    bool self_signed_ = false;
    std::string server_uuid_;
};
