#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include "sila/net/ServerCertificate.h"
#include "tests/support/ShellCommand.h"
#include "utilities/Exception.h"

using shell_command::quote;
using shell_command::run_command;

static const std::string UUID = "3f2b9c1e-8d4a-4e6b-9a57-0c1d2e3f4a5b";

static std::string refusal(const std::function<void()>& load) {
    try {
        load();
    } catch (const Exception& e) {
        return e.message();
    }
    return "(accepted)";
}

TEST(ServerCertificate, MadeOnceWithItsIdentityAndKeptPrivate) {
    shell_command::TempTree tmp("sila_cert");
    const std::string state = tmp.path() + "/state/sila";
    const ServerCertificate made =
        ServerCertificate::load_or_create(state, UUID, {"localhost", "10.1.2.3", "fd00::7"});
    const ServerCertificate again = ServerCertificate::load_or_create(state, UUID, {"other.host"});
    EXPECT_TRUE(again.cert_pem() == made.cert_pem() && again.key_pem() == made.key_pem() &&
                again.self_signed());
    EXPECT_EQ(run_command("stat -c %a " + quote(state + "/key.pem")).output, "600\n");
    EXPECT_EQ(run_command("ls " + quote(state)).output, "certificate.pem\nkey.pem\n");

    BIO* bio = BIO_new_mem_buf(made.cert_pem().data(), static_cast<int>(made.cert_pem().size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    ASSERT_NE(cert, nullptr);
    char cn[64] = "";
    X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn);
    EXPECT_STREQ(cn, "SiLA2");
    ASN1_OBJECT* oid = OBJ_txt2obj("1.3.6.1.4.1.58583", 1);
    const ASN1_OCTET_STRING* ext =
        X509_EXTENSION_get_data(X509_get_ext(cert, X509_get_ext_by_OBJ(cert, oid, -1)));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(ext)),
                          ASN1_STRING_length(ext)),
              UUID);
    EXPECT_EQ(X509_check_host(cert, "localhost", 0, 0, nullptr) +
                  X509_check_ip_asc(cert, "10.1.2.3", 0) + X509_check_ip_asc(cert, "fd00::7", 0) +
                  X509_check_host(cert, "other.host", 0, 0, nullptr),
              3);
    EXPECT_EQ(EVP_PKEY_get_base_id(X509_get0_pubkey(cert)), EVP_PKEY_EC);
    ASN1_OBJECT_free(oid), X509_free(cert), BIO_free(bio);

    // Refused: another server's certificate, a key others can read.
    EXPECT_PRED_FORMAT2(
        testing::IsSubstring, "belongs to server " + UUID + ", not to another-uuid",
        refusal([&] { ServerCertificate::load_or_create(state, "another-uuid", {}); }));
    chmod((state + "/key.pem").c_str(), 0640);
    EXPECT_PRED_FORMAT2(testing::IsSubstring, "mode 0640",
                        refusal([&] { ServerCertificate::load_or_create(state, UUID, {}); }));
}

TEST(ServerCertificate, OperatorFilesMustBelongTogether) {
    shell_command::TempTree tmp("sila_cert");
    const std::string a = tmp.path() + "/a", b = tmp.path() + "/b", ca = tmp.path() + "/ca";
    ServerCertificate::load_or_create(a, UUID, {"localhost"});
    ServerCertificate::load_or_create(b, UUID, {"localhost"});
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 ";
    const auto made = run_command(
        "(mkdir " + quote(ca) + " && cd " + quote(ca) + " && openssl req -x509" + ec +
        "-subj /CN=LabCA -keyout ca.key -out ca.pem && openssl req" + ec +
        "-subj /CN=sipper -keyout key.pem -out leaf.csr && openssl x509 -req -in leaf.csr "
        "-CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -out certificate.pem)");
    ASSERT_EQ(made.status, 0) << made.output;

    const std::string mismatch = "the private key does not belong to the certificate";
    const struct {
        std::string cert, key, outcome;  // outcome: part of the reason, or whether self-signed
    } cases[] = {{a, a, "self-signed"},
                 {ca, ca, "CA-signed"},
                 {a, b, mismatch},
                 {ca, a, mismatch},
                 {a + "/none", a, "cannot read " + a + "/none/certificate.pem: No such file"},
                 {a, a + "/none", "cannot read " + a + "/none/key.pem"}};
    for (const auto& c : cases) {
        std::string got = refusal([&] {
            auto loaded =
                ServerCertificate::from_files(c.cert + "/certificate.pem", c.key + "/key.pem");
            throw Exception(loaded.self_signed() ? "self-signed" : "CA-signed");
        });
        EXPECT_PRED_FORMAT2(testing::IsSubstring, c.outcome, got) << c.cert << " with " << c.key;
    }
}
