// A frame the daemon cannot read closes that connection, with a code, and
// no other; the decoder refuses every frame that is not whole and exact.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "../../client/wire.h"
#include "daemon_fixture.h"

namespace {

int raw_connect(const std::string &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    return fd;
}

// The code of the refusal the daemon sends before it closes the connection.
uint32_t refusal_code(int fd)
{
    std::string said;
    char buf[4096];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) said.append(buf, static_cast<size_t>(n));
    ::close(fd);
    wire::Answer a;
    std::string why;
    if (said.size() < 4 || !wire::decode(reinterpret_cast<const uint8_t *>(said.data()) + 4, said.size() - 4, &a, &why))
        return ~0u;
    return a.op == wire::Op::refused ? a.code : ~0u;
}

std::string frame(const std::string &body)
{
    std::string f(4, '\0');
    const auto n = static_cast<uint32_t>(body.size());
    for (int i = 0; i < 4; i++) f[static_cast<size_t>(i)] = static_cast<char>(n >> (8 * i));
    return f + body;
}

TEST(DaemonWire, AMalformedFrameClosesOnlyItsConnection)
{
    Daemon d(kServed);
    Conn good = d.connect();
    prc_key sys = 0;
    ASSERT_EQ(prc_open(good, "SYSTEM", &sys), 0u);

    wire::Request open;
    open.name = "SYSTEM";
    const std::string open_sys = wire::encode(open);
    const std::string cases[] = {
        frame(std::string("\x63\x00", 2)),                      // no such operation
        frame(open_sys.substr(4) + "x"),                          // bytes after the fields
        frame(std::string("\x01\x00\x03\x00\x00\x00S\0Y", 9)),    // a name with a zero byte
        std::string("\xff\xff\xff\x7f", 4),                       // longer than the bound
        frame(std::string("\x0d\x00\xff\xff\xff\xff", 6)),        // a batch of 2^32 - 1 operations
    };
    for (const std::string &bytes : cases) {
        int fd = raw_connect(d.socket());
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        EXPECT_EQ(refusal_code(fd), uint32_t{PROP_E_FORMAT});
    }
    // A frame cut short by the client's going away is no request at all.
    int fd = raw_connect(d.socket());
    ASSERT_EQ(::send(fd, open_sys.data(), 7, 0), 7);
    ::close(fd);

    EXPECT_EQ(good.set("SYSTEM.still", "served"), 0u);
    EXPECT_EQ(good.get("SYSTEM.still"), "served");
}

TEST(DaemonWire, EveryRequestSurvivesItsOwnEncoding)
{
    wire::Request r;
    r.op = wire::Op::batch;
    wire::BatchItem b;
    b.opcode = PROP_BATCH_CREATE_SET;
    b.key = 3;
    b.name = "child";
    b.sec.given = true;
    std::strcpy(b.sec.sec.username, "someone");
    b.value = std::string("a\0b", 3);
    r.batch = {b, b};
    const std::string f = wire::encode(r);
    wire::Request back;
    std::string why;
    ASSERT_TRUE(wire::decode(reinterpret_cast<const uint8_t *>(f.data()) + 4, f.size() - 4, &back, &why)) << why;
    ASSERT_EQ(back.batch.size(), 2u);
    EXPECT_EQ(back.batch[1].value, b.value);
    EXPECT_STREQ(back.batch[1].sec.sec.username, "someone");
    // Any one byte short is refused.
    for (size_t n = 4; n < f.size(); n++)
        EXPECT_FALSE(wire::decode(reinterpret_cast<const uint8_t *>(f.data()) + 4, n - 4, &back, &why)) << n;
}

}  // namespace
