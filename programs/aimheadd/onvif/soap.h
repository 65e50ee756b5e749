// SPDX-License-Identifier: MIT
// The SOAP envelope of an ONVIF request and the faults a reply may carry.
// Parsing never expands an entity and refuses any document type at once, so
// a hostile document costs no more than its bytes; depth and element count
// are capped before any handler looks at it.
#ifndef AIMHEADD_ONVIF_SOAP_H
#define AIMHEADD_ONVIF_SOAP_H

#include <pugixml.hpp>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace aimheadd::onvif {

enum class SoapVersion { Soap12, Soap11 };

inline constexpr char kSoap12Namespace[] = "http://www.w3.org/2003/05/soap-envelope";
inline constexpr char kSoap11Namespace[] = "http://schemas.xmlsoap.org/soap/envelope/";

// A refusal as ONVIF clients read it: who is at fault, the ter: subcodes
// from the general to the particular, and the reason in words.
struct Fault {
    bool sender = true;
    std::vector<std::string> subcodes;
    std::string reason;
    int httpStatus() const { return sender ? 400 : 500; }
};

Fault notAuthorized();
Fault actionNotSupported();
Fault invalidArgument(const std::string &subcode, const std::string &reason);

// The WS-Security UsernameToken of the request's header, as sent.
struct UsernameToken {
    std::string username;
    std::string password;
    std::string passwordType; // the Type attribute as sent, a URI; empty when absent
    std::string nonce;        // base64, as sent
    std::string created;
};

struct SoapLimits {
    unsigned maxDepth = 24;
    unsigned maxElements = 400;
};

class SoapRequest {
public:
    // The request, or the fault that refuses it before any handler runs.
    static std::variant<SoapRequest, Fault> parse(std::string_view body, SoapLimits limits = {});

    SoapVersion version() const { return version_; }
    // The first element of the body: what the client asks for.
    pugi::xml_node operation() const { return operation_; }
    const std::string &operationNamespace() const { return operationNamespace_; }
    const std::string &operationName() const { return operationName_; }
    const std::optional<UsernameToken> &token() const { return token_; }

private:
    std::shared_ptr<pugi::xml_document> document_;
    SoapVersion version_ = SoapVersion::Soap12;
    pugi::xml_node operation_;
    std::string operationNamespace_;
    std::string operationName_;
    std::optional<UsernameToken> token_;
};

// The name of an element or attribute without its prefix.
std::string_view localName(std::string_view qualified);
// The namespace an element's prefix stands for, from it and its ancestors.
std::string namespaceOf(pugi::xml_node element);
// The first child element with this local name, whatever its prefix.
pugi::xml_node child(pugi::xml_node parent, std::string_view local);
// The attribute with this local name, whatever its prefix.
pugi::xml_attribute attribute(pugi::xml_node element, std::string_view local);
// The element's text with surrounding white space removed.
std::string text(pugi::xml_node element);

// Text safe inside an element or a double-quoted attribute.
std::string xmlEscaped(std::string_view text);

// A whole reply envelope around body (already XML), in the request's version.
std::string envelope(SoapVersion version, const std::string &body);
std::string faultEnvelope(SoapVersion version, const Fault &fault);

} // namespace aimheadd::onvif

#endif
