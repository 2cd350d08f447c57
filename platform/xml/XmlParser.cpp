#include "platform/xml/XmlParser.hpp"

#include <algorithm>
#include <climits>
#include <exception>
#include <memory>

#include <expat.h>

namespace corvane::platform {
namespace {

struct ParserDeleter {
    void operator()(XML_ParserStruct* parser) const { XML_ParserFree(parser); }
};

// Shared by every expat callback of one parse. Handlers never let an exception cross expat's C frames:
// they keep it here and stop the parser.
struct State {
    XML_Parser parser = nullptr;
    const XmlParser::Events* events = nullptr;
    std::size_t maxDepth = 0;
    std::size_t depth = 0;
    bool inCdata = false;
    bool refused = false;
    std::exception_ptr error;
    XmlParser::Attributes attributes;

    void refuse() {
        if (refused) return;
        refused = true;
        XML_StopParser(parser, XML_FALSE);
    }

    template <class F>
    void guarded(F&& f) {
        if (refused) return;
        try {
            f();
        } catch (...) {
            error = std::current_exception();
            refuse();
        }
    }
};

State& stateOf(void* userData) { return *static_cast<State*>(userData); }

void onStartElement(void* userData, const XML_Char* name, const XML_Char** attributes) {
    State& state = stateOf(userData);
    if (state.refused) return;
    if (++state.depth > state.maxDepth) {
        state.refuse();
        return;
    }
    state.guarded([&] {
        state.attributes.clear();
        for (const XML_Char** a = attributes; a && a[0] && a[1]; a += 2) state.attributes.emplace_back(a[0], a[1]);
        if (state.events->startElement) state.events->startElement(name, state.attributes);
    });
}

void onEndElement(void* userData, const XML_Char* name) {
    State& state = stateOf(userData);
    if (state.depth > 0) --state.depth;
    state.guarded([&] {
        if (state.events->endElement) state.events->endElement(name);
    });
}

void onCharacters(void* userData, const XML_Char* text, int length) {
    State& state = stateOf(userData);
    state.guarded([&] {
        const std::string_view piece(text, static_cast<std::size_t>(std::max(length, 0)));
        if (state.inCdata && state.events->cdata)
            state.events->cdata(piece);
        else if (state.events->characters)
            state.events->characters(piece);
    });
}

void onStartCdata(void* userData) { stateOf(userData).inCdata = true; }
void onEndCdata(void* userData) { stateOf(userData).inCdata = false; }

// A document type declaration is where entities (and so entity expansion) come from: none is accepted.
void onStartDoctype(void* userData, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    stateOf(userData).refuse();
}

void onEntityDecl(void* userData, const XML_Char*, int, const XML_Char*, int, const XML_Char*, const XML_Char*,
                  const XML_Char*, const XML_Char*) {
    stateOf(userData).refuse();
}

void onNotationDecl(void* userData, const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*) {
    stateOf(userData).refuse();
}

int onExternalEntityRef(XML_Parser, const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*) {
    return XML_STATUS_ERROR;
}

void onSkippedEntity(void* userData, const XML_Char*, int) { stateOf(userData).refuse(); }

} // namespace

bool XmlParser::parse(ByteView document, const Events& events, Limits limits) {
    std::unique_ptr<XML_ParserStruct, ParserDeleter> parser(XML_ParserCreate(nullptr));
    if (!parser) return false;

    State state;
    state.parser = parser.get();
    state.events = &events;
    state.maxDepth = limits.maxDepth;

    XML_Parser p = parser.get();
    XML_SetUserData(p, &state);
    XML_SetParamEntityParsing(p, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetElementHandler(p, onStartElement, onEndElement);
    XML_SetCharacterDataHandler(p, onCharacters);
    XML_SetCdataSectionHandler(p, onStartCdata, onEndCdata);
    XML_SetStartDoctypeDeclHandler(p, onStartDoctype);
    XML_SetEntityDeclHandler(p, onEntityDecl);
    XML_SetNotationDeclHandler(p, onNotationDecl);
    XML_SetExternalEntityRefHandler(p, onExternalEntityRef);
    XML_SetSkippedEntityHandler(p, onSkippedEntity);

    // expat takes lengths as int: feed large documents in pieces.
    constexpr std::size_t kPiece = 1 << 20;
    std::size_t offset = 0;
    bool ok = true;
    do {
        const std::size_t length = std::min(kPiece, document.size() - offset);
        const bool last = offset + length == document.size();
        const auto* data = reinterpret_cast<const char*>(document.data() + offset);
        if (XML_Parse(p, data, static_cast<int>(length), last ? XML_TRUE : XML_FALSE) != XML_STATUS_OK) ok = false;
        offset += length;
    } while (ok && !state.refused && offset < document.size());

    if (state.error) std::rethrow_exception(state.error);
    return ok && !state.refused;
}

} // namespace corvane::platform
