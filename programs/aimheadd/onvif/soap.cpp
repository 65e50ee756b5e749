// SPDX-License-Identifier: MIT
#include "soap.h"

#include <algorithm>
#include <cctype>

namespace aimheadd::onvif {
namespace {

Fault wellFormed(const std::string &reason) { return {true, {"ter:WellFormed"}, reason}; }

// SOAP forbids a document type declaration in a message; refusing every
// "<!" but a comment or CDATA before parsing means no internal subset, no
// entity declaration and no external reference is ever looked at.
bool declaresDocumentType(std::string_view body)
{
    for (size_t at = body.find("<!"); at != std::string_view::npos; at = body.find("<!", at + 2)) {
        const std::string_view rest = body.substr(at + 2);
        if (rest.substr(0, 2) != "--" && rest.substr(0, 7) != "[CDATA[")
            return true;
    }
    return false;
}

// Counts elements and their depth without recursion; stops at the first
// limit passed.
class LimitWalker : public pugi::xml_tree_walker {
public:
    explicit LimitWalker(SoapLimits limits) : limits_(limits) {}
    bool for_each(pugi::xml_node &node) override
    {
        if (node.type() != pugi::node_element)
            return true;
        exceeded_ = ++elements_ > limits_.maxElements || static_cast<unsigned>(depth()) + 1 > limits_.maxDepth;
        return !exceeded_;
    }
    bool exceeded() const { return exceeded_; }

private:
    SoapLimits limits_;
    unsigned elements_ = 0;
    bool exceeded_ = false;
};

pugi::xml_node firstElement(pugi::xml_node parent)
{
    for (pugi::xml_node node = parent.first_child(); node; node = node.next_sibling())
        if (node.type() == pugi::node_element)
            return node;
    return {};
}

std::optional<UsernameToken> usernameToken(pugi::xml_node envelope)
{
    const pugi::xml_node token = child(child(child(envelope, "Header"), "Security"), "UsernameToken");
    if (!token)
        return std::nullopt;
    const pugi::xml_node password = child(token, "Password");
    return UsernameToken{text(child(token, "Username")), text(password), attribute(password, "Type").value(),
                         text(child(token, "Nonce")), text(child(token, "Created"))};
}

} // namespace

Fault notAuthorized() { return {true, {"ter:NotAuthorized"}, "Sender not Authorized"}; }

Fault actionNotSupported() { return {false, {"ter:ActionNotSupported"}, "Optional Action Not Implemented"}; }

Fault invalidArgument(const std::string &subcode, const std::string &reason)
{
    return {true, {"ter:InvalidArgVal", subcode}, reason};
}

std::variant<SoapRequest, Fault> SoapRequest::parse(std::string_view body, SoapLimits limits)
{
    if (declaresDocumentType(body))
        return wellFormed("a document type declaration is not allowed in a SOAP message");
    SoapRequest request;
    request.document_ = std::make_shared<pugi::xml_document>();
    const auto parsed = request.document_->load_buffer(body.data(), body.size(), pugi::parse_default);
    if (!parsed)
        return wellFormed(std::string("not well-formed XML: ") + parsed.description());
    LimitWalker walker(limits);
    if (!request.document_->traverse(walker) || walker.exceeded())
        return wellFormed("the message nests too deep or has too many elements");
    const pugi::xml_node root = request.document_->document_element();
    const std::string version = namespaceOf(root);
    if (localName(root.name()) != "Envelope" || (version != kSoap12Namespace && version != kSoap11Namespace))
        return wellFormed("not a SOAP envelope");
    request.version_ = version == kSoap12Namespace ? SoapVersion::Soap12 : SoapVersion::Soap11;
    request.operation_ = firstElement(child(root, "Body"));
    if (!request.operation_)
        return wellFormed("the SOAP body is empty");
    request.operationNamespace_ = namespaceOf(request.operation_);
    request.operationName_ = localName(request.operation_.name());
    request.token_ = usernameToken(root);
    return request;
}

std::string_view localName(std::string_view qualified)
{
    const size_t colon = qualified.find(':');
    return colon == std::string_view::npos ? qualified : qualified.substr(colon + 1);
}

std::string namespaceOf(pugi::xml_node element)
{
    const std::string_view name = element.name();
    const size_t colon = name.find(':');
    const std::string declaration =
        colon == std::string_view::npos ? "xmlns" : "xmlns:" + std::string(name.substr(0, colon));
    for (pugi::xml_node node = element; node && node.type() == pugi::node_element; node = node.parent())
        if (const pugi::xml_attribute found = node.attribute(declaration.c_str()))
            return found.value();
    return {};
}

pugi::xml_node child(pugi::xml_node parent, std::string_view local)
{
    for (pugi::xml_node node = parent.first_child(); node; node = node.next_sibling())
        if (node.type() == pugi::node_element && localName(node.name()) == local)
            return node;
    return {};
}

pugi::xml_attribute attribute(pugi::xml_node element, std::string_view local)
{
    for (pugi::xml_attribute found = element.first_attribute(); found; found = found.next_attribute())
        if (localName(found.name()) == local && std::string_view(found.name()).rfind("xmlns", 0) != 0)
            return found;
    return {};
}

std::string text(pugi::xml_node element)
{
    std::string_view value = element.text().get();
    const auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!value.empty() && space(value.front()))
        value.remove_prefix(1);
    while (!value.empty() && space(value.back()))
        value.remove_suffix(1);
    return std::string(value);
}

std::string xmlEscaped(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            // Control characters other than tab and line ends are not XML.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
                out += "?";
            else
                out += c;
        }
    }
    return out;
}

std::string envelope(SoapVersion version, const std::string &body)
{
    const char *soap = version == SoapVersion::Soap12 ? kSoap12Namespace : kSoap11Namespace;
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<s:Envelope xmlns:s=\"") + soap +
           "\" xmlns:tt=\"http://www.onvif.org/ver10/schema\""
           " xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\""
           " xmlns:trt=\"http://www.onvif.org/ver10/media/wsdl\""
           " xmlns:tptz=\"http://www.onvif.org/ver20/ptz/wsdl\""
           " xmlns:ter=\"http://www.onvif.org/ver10/error\"><s:Body>" +
           body + "</s:Body></s:Envelope>\n";
}

std::string faultEnvelope(SoapVersion version, const Fault &fault)
{
    const std::string reason = xmlEscaped(fault.reason);
    if (version == SoapVersion::Soap11)
        return envelope(version, std::string("<s:Fault><faultcode>s:") + (fault.sender ? "Client" : "Server") +
                                     "</faultcode><faultstring>" + reason + "</faultstring><detail>" +
                                     (fault.subcodes.empty() ? "" : fault.subcodes.back()) + "</detail></s:Fault>");
    std::string subcodes;
    std::string closing;
    for (const std::string &subcode : fault.subcodes) {
        subcodes += "<s:Subcode><s:Value>" + subcode + "</s:Value>";
        closing += "</s:Subcode>";
    }
    return envelope(version, std::string("<s:Fault><s:Code><s:Value>s:") + (fault.sender ? "Sender" : "Receiver") +
                                 "</s:Value>" + subcodes + closing + "</s:Code><s:Reason><s:Text xml:lang=\"en\">" +
                                 reason + "</s:Text></s:Reason></s:Fault>");
}

} // namespace aimheadd::onvif
