// Builds TLS ClientHello bytes for the peek's tests and fuzzer: every field
// can be set, and the handshake can be cut into records at chosen points.
#ifndef KALDER_CLIENT_HELLO_BUILDER_H
#define KALDER_CLIENT_HELLO_BUILDER_H

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace kalder::test {

using Bytes = std::vector<uint8_t>;

inline void put16(Bytes &b, size_t v)
{
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

inline void append(Bytes &b, const Bytes &more)
{
    b.insert(b.end(), more.begin(), more.end());
}

inline void append(Bytes &b, const std::string &more)
{
    b.insert(b.end(), more.begin(), more.end());
}

// server_name extension data with one host_name entry.
inline Bytes sni_data(const std::string &name)
{
    Bytes b;
    put16(b, name.size() + 3);
    b.push_back(0);
    put16(b, name.size());
    append(b, name);
    return b;
}

// ALPN extension data with the protocols in this order.
inline Bytes alpn_data(std::initializer_list<std::string> protocols)
{
    Bytes list;
    for (const auto &p : protocols) {
        list.push_back(static_cast<uint8_t>(p.size()));
        append(list, p);
    }
    Bytes b;
    put16(b, list.size());
    append(b, list);
    return b;
}

struct ClientHelloBuilder {
    Bytes session_id;
    Bytes cipher_suites{0x13, 0x01, 0x13, 0x02, 0xc0, 0x2f};
    Bytes compression{0};
    bool with_extensions = true;
    std::vector<std::pair<unsigned, Bytes>> extensions;
    Bytes trailing;  // bytes inside the handshake after the extensions

    ClientHelloBuilder &ext(unsigned type, Bytes data)
    {
        extensions.emplace_back(type, std::move(data));
        return *this;
    }
    ClientHelloBuilder &sni(const std::string &name) { return ext(0, sni_data(name)); }
    ClientHelloBuilder &alpn(std::initializer_list<std::string> protocols)
    {
        return ext(16, alpn_data(protocols));
    }

    // The handshake message: type 1, 24-bit length, ClientHello body.
    Bytes handshake() const
    {
        Bytes body{0x03, 0x03};
        for (int i = 0; i < 32; ++i) body.push_back(static_cast<uint8_t>(0xa0 + i));
        body.push_back(static_cast<uint8_t>(session_id.size()));
        append(body, session_id);
        put16(body, cipher_suites.size());
        append(body, cipher_suites);
        body.push_back(static_cast<uint8_t>(compression.size()));
        append(body, compression);
        if (with_extensions) {
            Bytes exts;
            for (const auto &[type, data] : extensions) {
                put16(exts, type);
                put16(exts, data.size());
                append(exts, data);
            }
            put16(body, exts.size());
            append(body, exts);
        }
        append(body, trailing);
        Bytes hs{1, static_cast<uint8_t>(body.size() >> 16), static_cast<uint8_t>(body.size() >> 8),
                 static_cast<uint8_t>(body.size())};
        append(hs, body);
        return hs;
    }

    // The handshake in TLS records, cut after each of the given handshake
    // offsets (ascending); one record when none are given.
    Bytes records(std::vector<size_t> cuts = {}) const
    {
        const Bytes hs = handshake();
        cuts.push_back(hs.size());
        Bytes out;
        size_t from = 0;
        for (size_t to : cuts) {
            out.insert(out.end(), {22, 3, 1});
            put16(out, to - from);
            out.insert(out.end(), hs.begin() + static_cast<long>(from), hs.begin() + static_cast<long>(to));
            from = to;
        }
        return out;
    }
};

// A ClientHello as browsers send it: a 32-byte session id, GREASE entries
// around server_name "collection.test", supported groups and ALPN "h2",
// "http/1.1".
inline ClientHelloBuilder typical_client_hello()
{
    ClientHelloBuilder h;
    h.session_id.assign(32, 0x5a);
    h.ext(0x0a0a, {})  // GREASE, empty
        .sni("collection.test")
        .ext(10, {0x00, 0x04, 0x00, 0x1d, 0x00, 0x17})
        .alpn({"h2", "http/1.1"})
        .ext(0xfafa, {0x00});  // GREASE with a byte
    return h;
}

}  // namespace kalder::test

#endif
