#include "support/forged_udp.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace punchprobe_test {

namespace {

constexpr std::size_t ip_header_size = 20;
constexpr std::size_t udp_header_size = 8;
// The IPv4 total length field is 16 bits and covers both headers.
constexpr std::size_t max_payload = 0xFFFF - ip_header_size - udp_header_size;

void put16(std::vector<unsigned char>& bytes, std::size_t at, std::uint16_t value)
{
    bytes[at] = static_cast<unsigned char>(value >> 8);
    bytes[at + 1] = static_cast<unsigned char>(value & 0xFF);
}

void put32(std::vector<unsigned char>& bytes, std::size_t at, std::uint32_t value)
{
    put16(bytes, at, static_cast<std::uint16_t>(value >> 16));
    put16(bytes, at + 2, static_cast<std::uint16_t>(value & 0xFFFF));
}

// One's-complement sum of big-endian 16-bit words; an odd last byte counts
// as if followed by a zero byte.
std::uint32_t add_words(std::uint32_t sum, const unsigned char* data, std::size_t size)
{
    for (std::size_t i = 0; i + 1 < size; i += 2)
        sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
    if (size % 2 != 0) sum += static_cast<std::uint32_t>(data[size - 1] << 8);
    return sum;
}

std::uint16_t fold(std::uint32_t sum)
{
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

}  // namespace

std::unique_ptr<ForgedUdpSender> ForgedUdpSender::create(std::string& why_not)
{
    // IPPROTO_RAW already implies IP_HDRINCL on Linux; the socket only sends.
    const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_RAW);
    if (fd < 0) {
        why_not = std::string("cannot open a raw IPv4 socket (needs CAP_NET_RAW): ") + std::strerror(errno);
        return nullptr;
    }
    const int on = 1;
    if (::setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &on, sizeof on) != 0) {
        why_not = std::string("cannot set IP_HDRINCL: ") + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<ForgedUdpSender>(new ForgedUdpSender(fd));
}

ForgedUdpSender::~ForgedUdpSender()
{
    ::close(fd_);
}

bool ForgedUdpSender::send(const boost::asio::ip::udp::endpoint& forged_source,
                           const boost::asio::ip::udp::endpoint& destination,
                           const std::string& payload)
{
    if (!forged_source.address().is_v4() || !destination.address().is_v4()) {
        errno = EAFNOSUPPORT;
        return false;
    }
    if (payload.size() > max_payload) {
        errno = EMSGSIZE;
        return false;
    }
    const std::uint32_t source = forged_source.address().to_v4().to_uint();
    const std::uint32_t target = destination.address().to_v4().to_uint();
    const auto udp_length = static_cast<std::uint16_t>(udp_header_size + payload.size());
    const auto total_length = static_cast<std::uint16_t>(ip_header_size + udp_length);

    std::vector<unsigned char> packet(total_length, 0);
    packet[0] = 0x45;  // version 4, header of 5 words
    put16(packet, 2, total_length);
    // Identification 0 and no fragment flags: the datagram is sent whole.
    packet[8] = 64;  // TTL
    packet[9] = IPPROTO_UDP;
    put32(packet, 12, source);
    put32(packet, 16, target);
    // Linux fills these two itself under IP_HDRINCL, but a correct header
    // keeps the bytes honest for anything that captures them before that.
    put16(packet, 10, fold(add_words(0, packet.data(), ip_header_size)));

    unsigned char* udp = packet.data() + ip_header_size;
    put16(packet, ip_header_size + 0, forged_source.port());
    put16(packet, ip_header_size + 2, destination.port());
    put16(packet, ip_header_size + 4, udp_length);
    if (!payload.empty()) std::memcpy(udp + udp_header_size, payload.data(), payload.size());

    // The UDP checksum covers a pseudo-header of addresses, protocol and
    // length; the kernel does not fill it for raw sockets, and a wrong one
    // makes the receiver drop the datagram silently.
    std::uint32_t sum = 0;
    sum += source >> 16;
    sum += source & 0xFFFF;
    sum += target >> 16;
    sum += target & 0xFFFF;
    sum += IPPROTO_UDP;
    sum += udp_length;
    std::uint16_t checksum = fold(add_words(sum, udp, udp_length));
    // Zero on the wire means "no checksum"; its one's-complement twin is sent.
    if (checksum == 0) checksum = 0xFFFF;
    put16(packet, ip_header_size + 6, checksum);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(destination.port());  // ignored by raw sockets, kept tidy
    to.sin_addr.s_addr = htonl(target);
    const ssize_t sent = ::sendto(fd_, packet.data(), packet.size(), MSG_DONTWAIT,
                                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent == static_cast<ssize_t>(packet.size());
}

}  // namespace punchprobe_test
