// Arbitrary bytes through the DER reader and the certificate signature extractor: every outcome is an
// element, a ParseError or an X509::Error, and nothing is read outside the input.
#include "engine/pairing/identity/DER.hpp"
#include "engine/pairing/identity/X509.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace corvane;
using namespace corvane::stream;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView input(data, size);
    try {
        const auto [node, rest] = DER::read(input);
        // The element and what follows it account for the input exactly.
        if (node.body.size() + rest.size() + 2 > size) std::abort();
        const auto children = DER::children(node.body);
        std::size_t total = 0;
        for (const auto& child : children) total += child.body.size() + 2;
        if (total > node.body.size()) std::abort();
    } catch (const DER::ParseError&) {
    }
    try {
        const auto nodes = DER::children(input);
        (void)nodes;
    } catch (const DER::ParseError&) {
    }
    try {
        const Bytes signature = X509::signatureOfDER(input);
        if (signature.size() >= size) std::abort();
    } catch (const DER::ParseError&) {
    } catch (const X509::Error&) {
    }
    return 0;
}
