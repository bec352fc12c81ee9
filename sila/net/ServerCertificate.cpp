#include "sila/net/ServerCertificate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "utilities/Exception.h"
#include "utilities/Files.h"

namespace {

template <typename T, void (*Free)(T*)>
struct Freer {
    void operator()(T* p) const { Free(p); }
};
using X509Ptr = std::unique_ptr<X509, Freer<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using BioPtr = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using ObjPtr = std::unique_ptr<ASN1_OBJECT, Freer<ASN1_OBJECT, ASN1_OBJECT_free>>;
using OctetPtr =
    std::unique_ptr<ASN1_OCTET_STRING, Freer<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Freer<X509_EXTENSION, X509_EXTENSION_free>>;
using BnPtr = std::unique_ptr<BIGNUM, Freer<BIGNUM, BN_free>>;

constexpr int VALIDITY_DAYS = 3650;
// Tolerates a client clock somewhat behind the server's.
constexpr long BACKDATE_SECONDS = 3600;

// OpenSSL's reason for the last failure, and its queue emptied so that the
// next failure does not report this one.
std::string openssl_reason() {
    unsigned long code = ERR_peek_last_error();
    const char* text = code != 0 ? ERR_reason_error_string(code) : nullptr;
    std::string reason = text != nullptr ? text : "unknown error";
    ERR_clear_error();
    return reason;
}

[[noreturn]] void fail(const std::string& what) {
    throw Exception("ServerCertificate: " + what);
}

void check(bool ok, const char* step) {
    if (!ok) fail(std::string(step) + " failed: " + openssl_reason());
}

std::string read_file(const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!f) fail("cannot read " + path + ": " + std::strerror(errno));
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0) text.append(buffer, n);
    if (std::ferror(f.get())) fail("cannot read " + path + ": " + std::strerror(errno));
    return text;
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// Written under a temporary name with its final mode from the first byte on
// (O_EXCL: never an older file someone else opened), renamed by the caller.
void write_new(const std::string& path, const std::string& text, mode_t mode) {
    unlink(path.c_str());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) fail("cannot create " + path + ": " + std::strerror(errno));
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int err = errno;
            close(fd);
            unlink(path.c_str());
            fail("cannot write " + path + ": " + std::strerror(err));
        }
        done += static_cast<std::size_t>(n);
    }
    if (fsync(fd) != 0 || close(fd) != 0)
        fail("cannot write " + path + ": " + std::strerror(errno));
}

void rename_into_place(const std::string& from, const std::string& to) {
    if (rename(from.c_str(), to.c_str()) != 0)
        fail("cannot rename " + from + " to " + to + ": " + std::strerror(errno));
}

std::string bio_text(BIO* bio) {
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

BioPtr memory_bio(const std::string& text) {
    BioPtr bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    check(bio != nullptr, "BIO_new_mem_buf");
    return bio;
}

ObjPtr uuid_oid() {
    ObjPtr oid(OBJ_txt2obj(ServerCertificate::UUID_EXTENSION_OID, 1));
    check(oid != nullptr, "OBJ_txt2obj");
    return oid;
}

// The UUID as text. Written as the bare octets; an operator's certificate
// may carry it as a DER string instead, so those are unwrapped.
std::string uuid_of(X509* cert) {
    ObjPtr oid = uuid_oid();
    int index = X509_get_ext_by_OBJ(cert, oid.get(), -1);
    if (index < 0) return "";
    const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(X509_get_ext(cert, index));
    std::string text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                     static_cast<std::size_t>(ASN1_STRING_length(value)));
    bool der_string =
        text.size() >= 2 && (text[0] == 0x0c || text[0] == 0x13 || text[0] == 0x16) &&
        static_cast<std::size_t>(static_cast<unsigned char>(text[1])) == text.size() - 2;
    return der_string ? text.substr(2) : text;
}

void add_extension(X509* cert, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
    check(ext != nullptr && X509_add_ext(cert, ext.get(), -1) == 1, OBJ_nid2sn(nid));
}

std::string subject_alt_names(const std::vector<std::string>& host_names) {
    std::string names;
    for (const std::string& host : host_names) {
        if (host.empty() || host.find_first_of(", \t\r\n") != std::string::npos)
            fail("not a host name or address for the certificate: \"" + host + "\"");
        unsigned char address[16];
        bool ip = inet_pton(AF_INET, host.c_str(), address) == 1 ||
                  inet_pton(AF_INET6, host.c_str(), address) == 1;
        names += (names.empty() ? "" : ",") + std::string(ip ? "IP:" : "DNS:") + host;
    }
    return names;
}

// The self-signed certificate and its key, both in PEM.
std::pair<std::string, std::string> make_self_signed(const std::string& server_uuid,
                                                     const std::vector<std::string>& host_names) {
    KeyPtr key(EVP_EC_gen("P-256"));
    check(key != nullptr, "EVP_EC_gen");
    X509Ptr cert(X509_new());
    check(cert != nullptr, "X509_new");
    check(X509_set_version(cert.get(), X509_VERSION_3) == 1, "X509_set_version");

    BnPtr serial(BN_new());
    check(serial != nullptr && BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1,
          "BN_rand");
    check(BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) != nullptr,
          "BN_to_ASN1_INTEGER");
    check(
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -BACKDATE_SECONDS) != nullptr &&
            X509_time_adj_ex(X509_getm_notAfter(cert.get()), VALIDITY_DAYS, 0, nullptr) != nullptr,
        "setting the validity");

    X509_NAME* name = X509_get_subject_name(cert.get());
    check(
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("SiLA2"), -1, -1, 0) == 1,
        "X509_NAME_add_entry_by_txt");
    check(X509_set_issuer_name(cert.get(), name) == 1, "X509_set_issuer_name");
    check(X509_set_pubkey(cert.get(), key.get()) == 1, "X509_set_pubkey");

    // Its own CA: clients that accept it put this very certificate among
    // their roots.
    add_extension(cert.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
    add_extension(cert.get(), NID_key_usage, "critical,digitalSignature,keyCertSign");
    add_extension(cert.get(), NID_ext_key_usage, "serverAuth");
    add_extension(cert.get(), NID_subject_key_identifier, "hash");
    std::string alt_names = subject_alt_names(host_names);
    if (!alt_names.empty()) add_extension(cert.get(), NID_subject_alt_name, alt_names);

    OctetPtr uuid(ASN1_OCTET_STRING_new());
    check(uuid != nullptr &&
              ASN1_OCTET_STRING_set(uuid.get(),
                                    reinterpret_cast<const unsigned char*>(server_uuid.data()),
                                    static_cast<int>(server_uuid.size())) == 1,
          "ASN1_OCTET_STRING_set");
    ObjPtr oid = uuid_oid();
    ExtPtr ext(X509_EXTENSION_create_by_OBJ(nullptr, oid.get(), 0, uuid.get()));
    check(ext != nullptr && X509_add_ext(cert.get(), ext.get(), -1) == 1,
          "adding the UUID extension");

    check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "X509_sign");

    BioPtr cert_out(BIO_new(BIO_s_mem()));
    BioPtr key_out(BIO_new(BIO_s_mem()));
    check(cert_out && key_out && PEM_write_bio_X509(cert_out.get(), cert.get()) == 1 &&
              PEM_write_bio_PrivateKey(key_out.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                       nullptr) == 1,
          "writing PEM");
    return {bio_text(cert_out.get()), bio_text(key_out.get())};
}

}  // namespace

ServerCertificate::ServerCertificate(std::string cert_pem, std::string key_pem,
                                     const std::string& origin)
    : cert_pem_(std::move(cert_pem)), key_pem_(std::move(key_pem)) {
    BioPtr cert_in = memory_bio(cert_pem_);
    X509Ptr cert(PEM_read_bio_X509(cert_in.get(), nullptr, nullptr, nullptr));
    if (!cert) fail(origin + ": no PEM certificate: " + openssl_reason());
    BioPtr key_in = memory_bio(key_pem_);
    KeyPtr key(PEM_read_bio_PrivateKey(key_in.get(), nullptr, nullptr, nullptr));
    if (!key) fail(origin + ": no unencrypted PEM private key: " + openssl_reason());
    if (X509_check_private_key(cert.get(), key.get()) != 1) {
        ERR_clear_error();
        fail(origin + ": the private key does not belong to the certificate");
    }
    self_signed_ = X509_self_signed(cert.get(), 1) == 1;
    ERR_clear_error();
    server_uuid_ = uuid_of(cert.get());
}

ServerCertificate ServerCertificate::load_or_create(const std::string& state_dir,
                                                    const std::string& server_uuid,
                                                    const std::vector<std::string>& host_names) {
    const std::string cert_path = state_dir + "/" + CERT_FILE;
    const std::string key_path = state_dir + "/" + KEY_FILE;
    if (server_uuid.empty()) fail("no server UUID for the certificate");
    if (!exists(cert_path) || !exists(key_path)) {
        if (!make_directory_chain(state_dir))
            fail("cannot create the state directory " + state_dir);
        auto [cert_pem, key_pem] = make_self_signed(server_uuid, host_names);
        // The key first: a crash between the renames leaves a key without
        // certificate, which the next start replaces, never a certificate
        // whose key is gone.
        write_new(key_path + ".new", key_pem, 0600);
        write_new(cert_path + ".new", cert_pem, 0644);
        rename_into_place(key_path + ".new", key_path);
        rename_into_place(cert_path + ".new", cert_path);
    }

    struct stat st {};
    if (stat(key_path.c_str(), &st) != 0)
        fail("cannot read " + key_path + ": " + std::strerror(errno));
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        fail(key_path + " is open to others than its owner (mode " + mode + "); chmod 600 it");
    }
    ServerCertificate loaded(read_file(cert_path), read_file(key_path), cert_path);
    if (loaded.server_uuid_ != server_uuid)
        fail(cert_path +
             (loaded.server_uuid_.empty() ? " carries no server UUID"
                                          : " belongs to server " + loaded.server_uuid_) +
             ", not to " + server_uuid + "; remove it and " + KEY_FILE + " to make a new one");
    return loaded;
}

ServerCertificate ServerCertificate::from_files(const std::string& cert_path,
                                                const std::string& key_path) {
    return ServerCertificate(read_file(cert_path), read_file(key_path),
                             cert_path + " with " + key_path);
}
