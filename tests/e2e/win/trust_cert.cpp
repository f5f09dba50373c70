// Makes the test prefix trust (or stop trusting) a certificate the test made: adds it to, or
// removes it from, the machine's ROOT store.
//   trust_cert.exe add|remove CERT.der
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "add") != 0 && std::strcmp(argv[1], "remove") != 0))
        return 1;
    std::ifstream in(argv[2], std::ios::binary);
    const std::vector<BYTE> der{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (der.empty())
        return 2;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    if (!store)
        return 3;
    BOOL ok = FALSE;
    if (std::strcmp(argv[1], "add") == 0) {
        ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                              CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    } else if (PCCERT_CONTEXT made =
                   CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()))) {
        PCCERT_CONTEXT cert =
            CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, made, nullptr);
        ok = !cert || CertDeleteCertificateFromStore(cert);  // deleting frees the found context
        CertFreeCertificateContext(made);
    }
    if (!ok)
        std::fprintf(stderr, "trust_cert %s failed: %lu\n", argv[1], GetLastError());
    CertCloseStore(store, 0);
    return ok ? 0 : 4;
}
