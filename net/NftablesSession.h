#pragma once
// One libnftables context: commands in nft's own syntax, each call one
// transaction, answers as nft's JSON (added rules echoed with their handles).
// The context owns one netlink socket for its whole life; a table created with
// the flag "owner" lives exactly as long as that socket. The socket is made
// close-on-exec as soon as it exists, so no child process keeps it (and the
// table) alive after the daemon is gone. Calls are serialised.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct nft_ctx;

class NftablesSession {
public:
    struct Result {
        bool ok = false;
        int error = 0;        // an errno read from nft's message (EIO when none fits)
        std::string message;  // nft's error text, first line
        std::string output;   // JSON (or text) answer
    };

    NftablesSession();
    ~NftablesSession();
    NftablesSession(const NftablesSession &) = delete;
    NftablesSession &operator=(const NftablesSession &) = delete;

    bool isOpen() const { return m_context != nullptr; }
    int openError() const { return m_openError; }

    // Runs the commands as one transaction; json selects JSON output with the
    // added objects echoed, otherwise plain text without echo.
    Result run(const std::string &commands, bool json = true);

    // The handles of the rules in a JSON answer (echoed adds or a listing), in order.
    static std::vector<std::uint64_t> ruleHandles(const std::string &output);
    // Quotes a text for nft's syntax (comments, names); refuses quotes and control bytes.
    static std::string quoted(const std::string &text);

private:
    std::mutex m_mutex;
    nft_ctx *m_context = nullptr;
    int m_openError = 0;
};
