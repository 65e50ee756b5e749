// SPDX-License-Identifier: MIT
// The SOAP envelope: what is taken, what is refused before any handler,
// and the replies' shape.
#include "soap.h"
#include "username_token.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace aimheadd::onvif;

namespace {

std::string envelope12(const std::string &body, const std::string &header = "")
{
    return "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\">"
           "<s:Header>" +
           header + "</s:Header><s:Body>" + body + "</s:Body></s:Envelope>";
}

Fault refusalOf(const std::string &body)
{
    const auto parsed = SoapRequest::parse(body);
    EXPECT_TRUE(std::holds_alternative<Fault>(parsed)) << body.substr(0, 200);
    return std::holds_alternative<Fault>(parsed) ? std::get<Fault>(parsed) : Fault{};
}

} // namespace

TEST(SoapRequest, NamesTheOperationByTheBodysFirstElementAndItsNamespace)
{
    const auto parsed =
        SoapRequest::parse(envelope12("<GetStatus xmlns=\"http://www.onvif.org/ver20/ptz/wsdl\"><ProfileToken>a"
                                      "</ProfileToken></GetStatus>"));
    ASSERT_TRUE(std::holds_alternative<SoapRequest>(parsed));
    const auto &request = std::get<SoapRequest>(parsed);
    EXPECT_EQ(request.version(), SoapVersion::Soap12);
    EXPECT_EQ(request.operationName(), "GetStatus");
    EXPECT_EQ(request.operationNamespace(), "http://www.onvif.org/ver20/ptz/wsdl");
    EXPECT_EQ(text(child(request.operation(), "ProfileToken")), "a");
}

TEST(SoapRequest, ResolvesAPrefixDeclaredOnTheEnvelopeAndTellsSoap11Apart)
{
    const auto parsed = SoapRequest::parse(
        "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "xmlns:tptz=\"http://www.onvif.org/ver20/ptz/wsdl\"><SOAP-ENV:Body><tptz:Stop/></SOAP-ENV:Body>"
        "</SOAP-ENV:Envelope>");
    ASSERT_TRUE(std::holds_alternative<SoapRequest>(parsed));
    const auto &request = std::get<SoapRequest>(parsed);
    EXPECT_EQ(request.version(), SoapVersion::Soap11);
    EXPECT_EQ(request.operationName(), "Stop");
    EXPECT_EQ(request.operationNamespace(), "http://www.onvif.org/ver20/ptz/wsdl");
}

TEST(SoapRequest, TakesTheUsernameTokenWithItsTypeUriAsSent)
{
    const std::string header =
        "<Security xmlns=\"http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd\">"
        "<UsernameToken><Username>admin</Username><Password Type=\"http://docs.oasis-open.org/wss/2004/01/"
        "oasis-200401-wss-username-token-profile-1.0#PasswordDigest\">ZGln</Password><Nonce EncodingType=\"x\">"
        "bm9uY2U=</Nonce><Created xmlns=\"http://docs.oasis-open.org/wss/2004/01/"
        "oasis-200401-wss-wssecurity-utility-1.0.xsd\">2026-01-01T00:00:00Z</Created></UsernameToken></Security>";
    const auto parsed = SoapRequest::parse(envelope12("<a:GetProfiles xmlns:a=\"m\"/>", header));
    ASSERT_TRUE(std::holds_alternative<SoapRequest>(parsed));
    const auto &token = std::get<SoapRequest>(parsed).token();
    ASSERT_TRUE(token);
    EXPECT_EQ(token->username, "admin");
    EXPECT_EQ(token->password, "ZGln");
    EXPECT_EQ(token->passwordType, "http://docs.oasis-open.org/wss/2004/01/"
                                   "oasis-200401-wss-username-token-profile-1.0#PasswordDigest");
    EXPECT_EQ(token->nonce, "bm9uY2U=");
    EXPECT_EQ(token->created, "2026-01-01T00:00:00Z");
}

TEST(SoapRequest, RefusesEveryDocumentTypeIncludingABillionLaughs)
{
    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">";
    for (int level = 1; level < 10; ++level) {
        std::string tenOfTheLast;
        for (int copy = 0; copy < 10; ++copy)
            tenOfTheLast += "&lol" + (level > 1 ? std::to_string(level - 1) : std::string()) + ";";
        laughs += "<!ENTITY lol" + std::to_string(level) + " \"" + tenOfTheLast + "\">";
    }
    laughs += "]><lolz>&lol9;</lolz>";
    EXPECT_EQ(refusalOf(laughs).subcodes, std::vector<std::string>{"ter:WellFormed"});
    const Fault external = refusalOf("<!DOCTYPE s [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>" +
                                     envelope12("<Stop xmlns=\"http://www.onvif.org/ver20/ptz/wsdl\">&x;</Stop>"));
    EXPECT_NE(external.reason.find("document type"), std::string::npos);
    EXPECT_TRUE(external.sender);
}

TEST(SoapRequest, AllowsCommentsAndCdataButNoOtherDeclaration)
{
    EXPECT_TRUE(std::holds_alternative<SoapRequest>(
        SoapRequest::parse("<!-- a client's note -->" + envelope12("<Stop><![CDATA[x]]></Stop>"))));
    refusalOf(envelope12("<!ELEMENT Stop ANY><Stop/>"));
}

TEST(SoapRequest, RefusesDeepNestingTooManyElementsAndWhatIsNotAnEnvelope)
{
    std::string deep;
    for (int level = 0; level < 30; ++level)
        deep += "<a>";
    for (int level = 0; level < 30; ++level)
        deep += "</a>";
    EXPECT_NE(refusalOf(envelope12(deep)).reason.find("too deep"), std::string::npos);
    std::string many;
    for (int count = 0; count < 500; ++count)
        many += "<a/>";
    EXPECT_NE(refusalOf(envelope12("<b>" + many + "</b>")).reason.find("too many"), std::string::npos);
    EXPECT_NE(refusalOf("<Envelope><Body><Stop/></Body></Envelope>").reason.find("not a SOAP"), std::string::npos);
    EXPECT_NE(refusalOf(envelope12("")).reason.find("empty"), std::string::npos);
    EXPECT_NE(refusalOf("<s:Envelope").reason.find("not well-formed"), std::string::npos);
}

TEST(SoapReply, EscapesEveryMarkupCharacterAndDropsControlBytes)
{
    EXPECT_EQ(xmlEscaped("a<b>&\"c'\x01"), "a&lt;b&gt;&amp;&quot;c&apos;?");
}

TEST(SoapReply, WritesAFaultWithItsSubcodesNestedAndTheReasonEscaped)
{
    const std::string reply = faultEnvelope(SoapVersion::Soap12, {true, {"ter:InvalidArgVal", "ter:NoToken"}, "a<b"});
    pugi::xml_document document;
    ASSERT_TRUE(document.load_string(reply.c_str()));
    const auto fault = child(child(document.document_element(), "Body"), "Fault");
    EXPECT_EQ(text(child(child(fault, "Code"), "Value")), "s:Sender");
    const auto subcode = child(child(fault, "Code"), "Subcode");
    EXPECT_EQ(text(child(subcode, "Value")), "ter:InvalidArgVal");
    EXPECT_EQ(text(child(child(subcode, "Subcode"), "Value")), "ter:NoToken");
    EXPECT_EQ(text(child(child(fault, "Reason"), "Text")), "a<b");
    EXPECT_NE(faultEnvelope(SoapVersion::Soap11, actionNotSupported())
                  .find("<faultstring>Optional Action Not Implemented</faultstring>"),
              std::string::npos);
}
