// See cert_verify.h. Every handle is released on every path (small RAII holders below).
#include "ssl/cert_verify.h"

#include <schannel.h>
#include <wincrypt.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct CertFree { void operator()(const CERT_CONTEXT* c) const { CertFreeCertificateContext(c); } };
struct ChainFree { void operator()(const CERT_CHAIN_CONTEXT* c) const { CertFreeCertificateChain(c); } };
using CertPtr = std::unique_ptr<const CERT_CONTEXT, CertFree>;
using ChainPtr = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree>;

struct StoreHolder {
    HCERTSTORE h = nullptr;
    ~StoreHolder() { if (h) CertCloseStore(h, 0); }
};
struct EngineHolder {
    HCERTCHAINENGINE h = nullptr;
    ~EngineHolder() { if (h) CertFreeCertificateChainEngine(h); }
};

std::string Hex32(DWORD v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(v));
    return text;
}

bool ReadFileBytes(const std::string& path, std::string* bytes) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(h, &size) && size.QuadPart < (1 << 22);
    if (ok) {
        bytes->resize(static_cast<std::size_t>(size.QuadPart));
        DWORD got = 0;
        ok = bytes->empty() ||
             (ReadFile(h, &(*bytes)[0], static_cast<DWORD>(bytes->size()), &got, nullptr) &&
              got == bytes->size());
    }
    CloseHandle(h);
    return ok;
}

// The CA file's certificates in a memory store.
bool LoadCaStore(const std::string& path, StoreHolder* store, std::string* why) {
    std::string bytes, error;
    std::vector<std::string> ders;
    if (!ReadFileBytes(path, &bytes)) {
        *why = "CAFile " + path + " cannot be read (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    if (!ParseCaFile(bytes, &ders, &error)) {
        *why = "CAFile " + path + ": " + error;
        return false;
    }
    store->h = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (!store->h) {
        *why = "no memory store (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    for (const std::string& der : ders) {
        if (!CertAddEncodedCertificateToStore(store->h, X509_ASN_ENCODING,
                                              reinterpret_cast<const BYTE*>(der.data()),
                                              static_cast<DWORD>(der.size()),
                                              CERT_STORE_ADD_ALWAYS, nullptr)) {
            *why = "CAFile " + path + " holds a certificate that cannot be decoded (" +
                   Hex32(GetLastError()) + ")";
            return false;
        }
    }
    return true;
}

bool Fingerprint(const CERT_CONTEXT* cert, Sha256* out) {
    DWORD size = static_cast<DWORD>(out->size());
    return CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, cert->pbCertEncoded,
                                 cert->cbCertEncoded, out->data(), &size) &&
           size == out->size();
}

bool HasIpSan(const CERT_CONTEXT* cert, const in_addr& addr) {
    const CERT_EXTENSION* ext = CertFindExtension(szOID_SUBJECT_ALT_NAME2,
                                                  cert->pCertInfo->cExtension,
                                                  cert->pCertInfo->rgExtension);
    if (!ext) return false;
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                             ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
        return false;
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& e = names->rgAltEntry[i];
        found = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == 4 &&
                std::memcmp(e.IPAddress.pbData, &addr, 4) == 0;
    }
    LocalFree(names);
    return found;
}

bool VerifyChain(const CERT_CONTEXT* leaf, const TrustSettings& settings, std::string* why) {
    StoreHolder caStore;
    EngineHolder engine;
    if (!settings.strCaFile.empty()) {
        if (!LoadCaStore(settings.strCaFile, &caStore, why)) return false;
        // Only the CA file's certificates are roots. The structure is given its Windows 7
        // size (up to hExclusiveTrustedPeople): Wine refuses the later, larger size.
        CERT_CHAIN_ENGINE_CONFIG config{};
        config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveTrustedPeople) + sizeof(HCERTSTORE);
        config.hExclusiveRoot = caStore.h;
        if (!CertCreateCertificateChainEngine(&config, &engine.h)) {
            *why = "no chain engine for the CA file (" + Hex32(GetLastError()) + ")";
            return false;
        }
    }
    LPSTR usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
    const CERT_CHAIN_CONTEXT* raw = nullptr;
    // Without a CA file, the machine's stores only: roots a user put in their own store (which
    // needs no administrator) must not make a forged host trusted.
    HCERTCHAINENGINE chainEngine = engine.h != nullptr ? engine.h : HCCE_LOCAL_MACHINE;
    if (!CertGetCertificateChain(chainEngine, leaf, nullptr, leaf->hCertStore, &para, 0, nullptr, &raw)) {
        *why = "no certificate chain (" + Hex32(GetLastError()) + ")";
        return false;
    }
    ChainPtr chain(raw);
    // Wine's SSL policy lets a chain that stops short of any root (partial) pass: read the
    // chain's own verdict too. Revocation is not asked for, so its bits cannot be set, but
    // they are masked all the same: hosts on closed networks cannot reach revocation lists.
    DWORD chainErrors = chain->TrustStatus.dwErrorStatus &
                        ~DWORD(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
    if (chainErrors != CERT_TRUST_NO_ERROR) {
        *why = "certificate chain rejected (trust status " + Hex32(chainErrors) + ")";
        return false;
    }

    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;  // no server name: the address is checked by HasIpSan
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &status)) {
        *why = "chain policy check failed to run (" + Hex32(GetLastError()) + ")";
        return false;
    }
    if (status.dwError != 0) {
        *why = "certificate chain rejected (" + Hex32(status.dwError) + ")";
        return false;
    }
    if (caStore.h) {
        // Belt and braces: the chain's root must be one of the CA file's own certificates.
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[chain->cChain - 1];
        const CERT_CONTEXT* root = simple->rgpElement[simple->cElement - 1]->pCertContext;
        CertPtr match(CertFindCertificateInStore(caStore.h, X509_ASN_ENCODING, 0,
                                                 CERT_FIND_EXISTING, root, nullptr));
        if (!match) {
            *why = "certificate chain does not lead to the CA file's certificate";
            return false;
        }
    }
    return true;
}

}  // namespace

bool VerifyServer(CtxtHandle* ctx, const TrustSettings& settings, const sockaddr_in& peer,
                  std::string* why) {
    if (settings.bInsecureSkipVerify) return true;
    const CERT_CONTEXT* raw = nullptr;
    SECURITY_STATUS ss = QueryContextAttributesA(ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &raw);
    if (ss != SEC_E_OK || !raw) {
        *why = "server sent no certificate (" + Hex32(static_cast<DWORD>(ss)) + ")";
        return false;
    }
    CertPtr leaf(raw);

    if (!settings.pins.empty()) {
        Sha256 fp{};
        if (!Fingerprint(leaf.get(), &fp)) {
            *why = "certificate fingerprint cannot be computed (" + Hex32(GetLastError()) + ")";
            return false;
        }
        for (const Sha256& pin : settings.pins)
            if (pin == fp) return true;
        *why = "certificate " + HexString(fp.data(), fp.size()) + " is not among PinSHA256";
        return false;
    }
    if (!VerifyChain(leaf.get(), settings, why)) return false;
    if (!HasIpSan(leaf.get(), peer.sin_addr)) {
        *why = std::string("certificate does not name ") + inet_ntoa(peer.sin_addr) +
               " among its subject alternative names (IP)";
        return false;
    }
    return true;
}
