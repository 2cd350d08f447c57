#pragma once

// The client side of the streaming host's interface, written for the box's tests straight on OpenSSL,
// expat and cpp-httplib so that it shares no code with the box (nor with the engine).

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <expat.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

namespace corvane::boxsim::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes concat(std::initializer_list<Bytes> pieces) {
    Bytes out;
    for (const Bytes& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
    return out;
}

inline Bytes random(std::size_t n) {
    Bytes out(n);
    RAND_bytes(out.data(), static_cast<int>(n));
    return out;
}

inline std::string hex(const Bytes& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (std::uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 15]);
    }
    return out;
}

inline std::optional<Bytes> unhex(const std::string& text) {
    long n = 0;
    std::unique_ptr<unsigned char, void (*)(void*)> buffer(OPENSSL_hexstr2buf(text.c_str(), &n), [](void* p) { OPENSSL_free(p); });
    if (!buffer) return std::nullopt;
    return Bytes(buffer.get(), buffer.get() + n);
}

inline Bytes sha256(const Bytes& data) {
    Bytes digest(32);
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}

inline Bytes aes(const Bytes& data, const Bytes& key, bool encrypt) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key.data(), nullptr, encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    Bytes out(data.size());
    int n = 0;
    EVP_CipherUpdate(ctx, out.data(), &n, data.data(), static_cast<int>(data.size()));  // whole blocks only
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

struct OpensslFree {
    void operator()(X509* x) const { X509_free(x); }
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using X509Handle = std::unique_ptr<X509, OpensslFree>;
using PKeyHandle = std::unique_ptr<EVP_PKEY, OpensslFree>;

inline Bytes derOf(X509* certificate) {
    unsigned char* buffer = nullptr;
    const int n = i2d_X509(certificate, &buffer);
    Bytes out(buffer, buffer + n);
    OPENSSL_free(buffer);
    return out;
}

inline X509Handle certificateFromDER(const Bytes& der) {
    const unsigned char* p = der.data();
    return X509Handle(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

inline Bytes signatureBits(X509* certificate) {
    const ASN1_BIT_STRING* signature = nullptr;
    X509_get0_signature(&signature, nullptr, certificate);
    const unsigned char* data = ASN1_STRING_get0_data(signature);
    return Bytes(data, data + ASN1_STRING_length(signature));
}

inline Bytes sign(const Bytes& message, EVP_PKEY* key) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    std::size_t n = 0;
    EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key);
    EVP_DigestSign(ctx, nullptr, &n, message.data(), message.size());
    Bytes signature(n);
    EVP_DigestSign(ctx, signature.data(), &n, message.data(), message.size());
    EVP_MD_CTX_free(ctx);
    signature.resize(n);
    return signature;
}

inline bool verify(const Bytes& message, const Bytes& signature, X509* certificate) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok = EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, X509_get0_pubkey(certificate)) == 1 &&
                    EVP_DigestVerify(ctx, signature.data(), signature.size(), message.data(), message.size()) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

// A client's key and self-signed certificate, as the desktop makes them.
struct TestIdentity {
    PKeyHandle key;
    X509Handle certificate;
    Bytes der;
    std::string pem;

    TestIdentity() {
        key.reset(EVP_RSA_gen(2048));
        certificate.reset(X509_new());
        X509_set_version(certificate.get(), 2);
        ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 7);
        X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
        X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 3600L * 24 * 365);
        X509_NAME* name = X509_get_subject_name(certificate.get());
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Test Client"), -1, -1, 0);
        X509_set_issuer_name(certificate.get(), name);
        X509_set_pubkey(certificate.get(), key.get());
        X509_sign(certificate.get(), key.get(), EVP_sha256());
        der = derOf(certificate.get());
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(bio, certificate.get());
        char* data = nullptr;
        const long n = BIO_get_mem_data(bio, &data);
        pem.assign(data, static_cast<std::size_t>(n));
        BIO_free(bio);
    }
};

// One element of a reply, parsed with expat.
struct Xml {
    std::string name;
    std::map<std::string, std::string> attributes;
    std::string text;
    std::vector<Xml> children;

    std::optional<std::string> operator[](std::string_view child) const {
        for (const Xml& c : children)
            if (c.name == child) return c.text;
        return std::nullopt;
    }
    std::vector<const Xml*> all(std::string_view child) const {
        std::vector<const Xml*> out;
        for (const Xml& c : children)
            if (c.name == child) out.push_back(&c);
        return out;
    }
    std::string attribute(const std::string& key) const { return attributes.contains(key) ? attributes.at(key) : ""; }
    int statusCode() const { return std::atoi(attribute("status_code").c_str()); }

    static std::optional<Xml> parse(const std::string& body) {
        struct State {
            std::vector<Xml> stack;
            std::optional<Xml> root;
        } state;
        XML_Parser parser = XML_ParserCreate(nullptr);
        XML_SetUserData(parser, &state);
        XML_SetElementHandler(
            parser,
            [](void* data, const XML_Char* name, const XML_Char** attrs) {
                auto* s = static_cast<State*>(data);
                Xml element;
                element.name = name;
                for (int i = 0; attrs[i]; i += 2) element.attributes[attrs[i]] = attrs[i + 1];
                s->stack.push_back(std::move(element));
            },
            [](void* data, const XML_Char*) {
                auto* s = static_cast<State*>(data);
                Xml done = std::move(s->stack.back());
                s->stack.pop_back();
                if (s->stack.empty()) s->root = std::move(done);
                else s->stack.back().children.push_back(std::move(done));
            });
        XML_SetCharacterDataHandler(parser, [](void* data, const XML_Char* text, int n) {
            auto* s = static_cast<State*>(data);
            if (!s->stack.empty()) s->stack.back().text.append(text, static_cast<std::size_t>(n));
        });
        const bool ok = XML_Parse(parser, body.data(), static_cast<int>(body.size()), 1) == XML_STATUS_OK;
        XML_ParserFree(parser);
        if (!ok) return std::nullopt;
        return state.root;
    }
};

struct Reply {
    bool delivered = false;  // false: the exchange failed (refused, reset, timed out)
    int httpStatus = 0;
    std::string body;
    std::optional<Xml> xml;
};

using Query = std::vector<std::pair<std::string, std::string>>;

inline std::string target(const std::string& path, const Query& query) {
    std::string out = path;
    char separator = '?';
    for (const auto& [name, value] : query) {
        out += separator + httplib::detail::encode_query_param(name) + "=" + httplib::detail::encode_query_param(value);
        separator = '&';
    }
    return out;
}

inline Reply finish(httplib::Result result) {
    if (!result) return {};
    return {true, result->status, result->body, Xml::parse(result->body)};
}

inline Reply get(const std::string& address, int port, const std::string& path, const Query& query = {},
                 int timeoutSeconds = 10) {
    httplib::Client client(address, port);
    client.set_url_encode(false);
    client.set_read_timeout(timeoutSeconds);
    return finish(client.Get(target(path, query)));
}

inline Reply getSecure(const std::string& address, const std::string& path, const Query& query,
                       const TestIdentity* identity, int timeoutSeconds = 10) {
    auto client = identity ? std::make_unique<httplib::SSLClient>(address, 47984, identity->certificate.get(), identity->key.get())
                           : std::make_unique<httplib::SSLClient>(address, 47984);
    client->enable_server_certificate_verification(false);
    client->set_url_encode(false);
    client->set_read_timeout(timeoutSeconds);
    return finish(client->Get(target(path, query)));
}

// The client half of the five pairing steps, one call per step, keeping every value so tests can check them.
struct PairingClient {
    PairingClient(std::string address_, const TestIdentity& identity_) : address(std::move(address_)), identity(identity_) {}

    std::string address;
    const TestIdentity& identity;
    std::string uniqueId = "0123456789ABCDEF";
    std::string deviceName = "test desktop";

    Bytes key;
    Bytes boxCertificateDER;
    Bytes clientChallenge;
    Bytes serverResponse;
    Bytes serverChallenge;
    Bytes clientSecret;
    Bytes boxSecret;
    Bytes boxSecretSignature;

    Query with(Query items) const {
        Query query = {{"uniqueid", uniqueId}, {"devicename", deviceName}, {"updateState", "1"}, {"uuid", hex(random(16))}};
        query.insert(query.end(), items.begin(), items.end());
        return query;
    }
    static bool paired(const Reply& reply) {
        return reply.xml && reply.xml->statusCode() == 200 && (*reply.xml)["paired"] == std::string("1");
    }

    Reply getServerCert(const std::string& pin, int timeoutSeconds = 20) {
        const Bytes salt = random(16);
        key = sha256(concat({salt, Bytes(pin.begin(), pin.end())}));
        key.resize(16);
        Reply reply = get(address, 47989, "/pair",
                          with({{"phrase", "getservercert"}, {"salt", hex(salt)},
                                {"clientcert", hex(Bytes(identity.pem.begin(), identity.pem.end()))}}),
                          timeoutSeconds);
        if (paired(reply))
            if (auto pemBytes = unhex((*reply.xml)["plaincert"].value_or(""))) {
                BIO* bio = BIO_new_mem_buf(pemBytes->data(), static_cast<int>(pemBytes->size()));
                X509Handle certificate(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
                BIO_free(bio);
                if (certificate) boxCertificateDER = derOf(certificate.get());
            }
        return reply;
    }

    Reply clientChallengeStep() {
        clientChallenge = random(16);
        Reply reply = get(address, 47989, "/pair", with({{"clientchallenge", hex(aes(clientChallenge, key, true))}}));
        if (paired(reply))
            if (auto sealed = unhex((*reply.xml)["challengeresponse"].value_or("")); sealed && sealed->size() == 48) {
                const Bytes plain = aes(*sealed, key, false);
                serverResponse.assign(plain.begin(), plain.begin() + 32);
                serverChallenge.assign(plain.begin() + 32, plain.end());
            }
        return reply;
    }

    Reply serverChallengeStep() {
        clientSecret = random(16);
        const Bytes hash = sha256(concat({serverChallenge, signatureBits(identity.certificate.get()), clientSecret}));
        Reply reply = get(address, 47989, "/pair", with({{"serverchallengeresp", hex(aes(hash, key, true))}}));
        if (paired(reply))
            if (auto secret = unhex((*reply.xml)["pairingsecret"].value_or("")); secret && secret->size() > 16) {
                boxSecret.assign(secret->begin(), secret->begin() + 16);
                boxSecretSignature.assign(secret->begin() + 16, secret->end());
            }
        return reply;
    }

    // What the desktop checks before its fourth step.
    bool boxSignatureValid() const {
        auto certificate = certificateFromDER(boxCertificateDER);
        return certificate && verify(boxSecret, boxSecretSignature, certificate.get());
    }
    bool boxKnewThePin() const {
        auto certificate = certificateFromDER(boxCertificateDER);
        return certificate && sha256(concat({clientChallenge, signatureBits(certificate.get()), boxSecret})) == serverResponse;
    }

    Reply clientPairingSecretStep() {
        const Bytes signature = sign(clientSecret, identity.key.get());
        return get(address, 47989, "/pair", with({{"clientpairingsecret", hex(concat({clientSecret, signature}))}}));
    }

    Reply pairChallengeStep() { return getSecure(address, "/pair", with({{"phrase", "pairchallenge"}}), &identity); }

    // All five steps with the PIN already entered on the box; true when every reply said paired 1.
    bool pairAll(const std::string& pin) {
        return paired(getServerCert(pin)) && paired(clientChallengeStep()) && paired(serverChallengeStep()) &&
               boxSignatureValid() && boxKnewThePin() && paired(clientPairingSecretStep()) && paired(pairChallengeStep());
    }
};

} // namespace corvane::boxsim::test
