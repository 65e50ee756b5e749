// SPDX-License-Identifier: MIT
#include "discovery.h"

#include "log.h"
#include "onvif_device.h"
#include "soap.h"
#include "text.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace aimheadd::onvif {
namespace {

constexpr char kGroup[] = "239.255.255.250";
constexpr char kDiscoveryNamespace[] = "http://schemas.xmlsoap.org/ws/2005/04/discovery";
constexpr char kAddressingNamespace[] = "http://schemas.xmlsoap.org/ws/2004/08/addressing";
constexpr char kNetworkNamespace[] = "http://www.onvif.org/ver10/network/wsdl";
constexpr char kDeviceNamespace[] = "http://www.onvif.org/ver10/device/wsdl";
constexpr std::size_t kMaxDatagram = 8192;
constexpr unsigned kDatagramsPerWake = 16;

std::string uuidText(const unsigned char *bytes)
{
    std::array<char, 37> text{};
    std::snprintf(text.data(), text.size(), "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9],
                  bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return "urn:uuid:" + std::string(text.data());
}

std::string randomMessageId()
{
    std::array<unsigned char, 16> bytes{};
    RAND_bytes(bytes.data(), static_cast<int>(bytes.size()));
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
    return uuidText(bytes.data());
}

std::string discoveryEnvelope(const std::string &header, const std::string &body)
{
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<s:Envelope xmlns:s=\"") + kSoap12Namespace +
           "\" xmlns:a=\"" + kAddressingNamespace + "\" xmlns:d=\"" + kDiscoveryNamespace + "\" xmlns:dn=\"" +
           kNetworkNamespace + "\" xmlns:tds=\"" + kDeviceNamespace + "\"><s:Header><a:MessageID>" + randomMessageId() +
           "</a:MessageID>" + header + "</s:Header><s:Body>" + body + "</s:Body></s:Envelope>";
}

std::string joinedScopes()
{
    std::string joined;
    for (const std::string &scope : scopeUris())
        joined += (joined.empty() ? "" : " ") + scope;
    return joined;
}

std::string matchBody(const std::string &endpoint, const std::string &xaddr)
{
    return "<a:EndpointReference><a:Address>" + xmlEscaped(endpoint) +
           "</a:Address></a:EndpointReference><d:Types>dn:NetworkVideoTransmitter tds:Device</d:Types><d:Scopes>" +
           joinedScopes() + "</d:Scopes><d:XAddrs>" + xmlEscaped(xaddr) +
           "</d:XAddrs><d:MetadataVersion>1</d:MetadataVersion>";
}

// The namespace a QName's prefix stands for where it is written.
std::string prefixNamespace(pugi::xml_node element, std::string_view qualifiedName)
{
    const auto colon = qualifiedName.find(':');
    const std::string name =
        colon == std::string_view::npos ? "xmlns" : "xmlns:" + std::string(qualifiedName.substr(0, colon));
    for (pugi::xml_node at = element; at; at = at.parent())
        if (const auto declared = at.attribute(name.c_str()))
            return declared.value();
    return "";
}

bool typesMatch(pugi::xml_node types)
{
    std::istringstream words(text(types));
    bool any = false;
    for (std::string word; words >> word;) {
        any = true;
        const std::string ns = prefixNamespace(types, word);
        const std::string_view local = localName(word);
        if ((ns == kNetworkNamespace && local == "NetworkVideoTransmitter") ||
            (ns == kDeviceNamespace && local == "Device"))
            return true;
    }
    return !any;
}

// Each scope asked for must begin one of ours, as the default rule matches.
bool scopesMatch(pugi::xml_node scopes)
{
    std::istringstream words(text(scopes));
    for (std::string word; words >> word;) {
        bool found = false;
        for (const std::string &scope : scopeUris())
            found = found || scope.rfind(word, 0) == 0;
        if (!found)
            return false;
    }
    return true;
}

bool printableId(const std::string &id)
{
    return !id.empty() && id.size() <= 256 &&
           std::all_of(id.begin(), id.end(), [](unsigned char c) { return c > ' ' && c < 0x7f; });
}

} // namespace

std::string endpointReference(const std::string &serialNumber)
{
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    const std::string named = "aimheadd onvif " + serialNumber;
    EVP_Digest(named.data(), named.size(), digest.data(), &length, EVP_sha1(), nullptr);
    // A name-based (version 5) UUID: the same head, the same endpoint.
    digest[6] = static_cast<unsigned char>((digest[6] & 0x0f) | 0x50);
    digest[8] = static_cast<unsigned char>((digest[8] & 0x3f) | 0x80);
    return uuidText(digest.data());
}

std::optional<std::string> probeMatch(std::string_view datagram, const std::string &endpoint, const std::string &xaddr)
{
    auto parsed = SoapRequest::parse(datagram);
    const auto *probe = std::get_if<SoapRequest>(&parsed);
    if (probe == nullptr || probe->version() != SoapVersion::Soap12 ||
        probe->operationNamespace() != kDiscoveryNamespace || probe->operationName() != "Probe")
        return std::nullopt;
    const pugi::xml_node header = child(probe->operation().parent().parent(), "Header");
    const std::string messageId = text(child(header, "MessageID"));
    if (!printableId(messageId) || !typesMatch(child(probe->operation(), "Types")) ||
        !scopesMatch(child(probe->operation(), "Scopes")))
        return std::nullopt;
    return discoveryEnvelope(
        "<a:RelatesTo>" + xmlEscaped(messageId) +
            "</a:RelatesTo><a:To>http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous</a:To>"
            "<a:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/ProbeMatches</a:Action>",
        "<d:ProbeMatches><d:ProbeMatch>" + matchBody(endpoint, xaddr) + "</d:ProbeMatch></d:ProbeMatches>");
}

std::string helloMessage(const std::string &endpoint, const std::string &xaddr)
{
    return discoveryEnvelope("<a:To>urn:schemas-xmlsoap-org:ws:2005:04:discovery</a:To>"
                             "<a:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/Hello</a:Action>",
                             "<d:Hello>" + matchBody(endpoint, xaddr) + "</d:Hello>");
}

std::string byeMessage(const std::string &endpoint)
{
    return discoveryEnvelope("<a:To>urn:schemas-xmlsoap-org:ws:2005:04:discovery</a:To>"
                             "<a:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/Bye</a:Action>",
                             "<d:Bye><a:EndpointReference><a:Address>" + xmlEscaped(endpoint) +
                                 "</a:Address></a:EndpointReference></d:Bye>");
}

namespace {

[[noreturn]] void failDiscovery(const std::string &reason)
{
    throw std::runtime_error("ONVIF discovery on UDP " + std::to_string(kDiscoveryPort) + ": " + reason);
}

int discoverySocket()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        failDiscovery(aimlink::errorText(errno));
    const int yes = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kDiscoveryPort);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ip_mreq membership{};
    inet_pton(AF_INET, kGroup, &membership.imr_multiaddr);
    membership.imr_interface.s_addr = htonl(INADDR_ANY);
    const bool ready = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
                       setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &yes, sizeof yes) == 0 &&
                       bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                       setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0;
    if (!ready) {
        const int saved = errno;
        close(fd);
        failDiscovery(aimlink::errorText(saved));
    }
    return fd;
}

// The address a datagram came to, for the reply's XAddrs.
std::string arrivedAt(msghdr &message)
{
    for (cmsghdr *control = CMSG_FIRSTHDR(&message); control != nullptr; control = CMSG_NXTHDR(&message, control))
        if (control->cmsg_level == IPPROTO_IP && control->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(control), sizeof info);
            std::array<char, INET_ADDRSTRLEN> text{};
            inet_ntop(AF_INET, &info.ipi_spec_dst, text.data(), text.size());
            return text.data();
        }
    return "127.0.0.1";
}

} // namespace

Discovery::Discovery(EventLoop &loop, std::string endpoint, std::string xaddrHost, uint16_t port)
    : loop_(loop), endpoint_(std::move(endpoint)), xaddrHost_(std::move(xaddrHost)), port_(port), fd_(discoverySocket())
{
    loop_.watch(fd_, EPOLLIN, [this](uint32_t) { readable(); });
    announce(helloMessage(endpoint_, xaddr(xaddrHost_.empty() ? "127.0.0.1" : xaddrHost_)));
}

Discovery::~Discovery()
{
    announce(byeMessage(endpoint_));
    loop_.forget(fd_);
    close(fd_);
}

std::string Discovery::xaddr(const std::string &host) const
{
    return "http://" + host + ":" + std::to_string(port_) + "/onvif/device_service";
}

void Discovery::announce(const std::string &message) const
{
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kDiscoveryPort);
    inet_pton(AF_INET, kGroup, &group.sin_addr);
    sendto(fd_, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&group), sizeof group);
}

bool Discovery::withinRate()
{
    const auto now = std::chrono::steady_clock::now();
    if (now - windowStart_ >= std::chrono::seconds(1)) {
        windowStart_ = now;
        repliesInWindow_ = 0;
    }
    return repliesInWindow_++ < kMaxProbeMatchesPerSecond;
}

void Discovery::readable()
{
    for (unsigned count = 0; count < kDatagramsPerWake; ++count) {
        std::array<char, kMaxDatagram> buffer{};
        std::array<char, CMSG_SPACE(sizeof(in_pktinfo))> control{};
        sockaddr_in sender{};
        iovec part{buffer.data(), buffer.size()};
        msghdr message{&sender, sizeof sender, &part, 1, control.data(), control.size(), 0};
        const ssize_t length = recvmsg(fd_, &message, 0);
        if (length < 0)
            return;
        // A probe cut by the buffer, or from our own announcements, gets nothing.
        if ((message.msg_flags & MSG_TRUNC) != 0)
            continue;
        const auto reply = probeMatch(std::string_view(buffer.data(), static_cast<std::size_t>(length)), endpoint_,
                                      xaddr(xaddrHost_.empty() ? arrivedAt(message) : xaddrHost_));
        if (reply && withinRate())
            sendto(fd_, reply->data(), reply->size(), 0, reinterpret_cast<sockaddr *>(&sender), sizeof sender);
    }
}

} // namespace aimheadd::onvif
