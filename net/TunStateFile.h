#pragma once
// The record of every change the TUN mode has made to the machine and not yet
// undone: routes, routing rules, the reverse-path filter, the resolver file and
// the firewall table. Each change is written down as it is made and struck off
// as it is undone, so a start after a killed run can undo what that run left.
//
// One file in the runtime directory ($KESTD_TUN_STATE, else "tun-state" in
// $RUNTIME_DIRECTORY, else /run/kestd), rewritten whole through a temporary
// file and a rename, so a kill never leaves half of it. Its first line is
// kHeader; every further line is one record: a kind word, then key=value
// fields ("route table=254 dst=10.0.0.9/32 via=192.168.1.1 dev=2 metric=1").
// Values are escaped (escape/unescape) so that no space or line break can
// split them. Every record names the network namespace it was made in
// (field "netns"); routes and links of another namespace are not undone.

#include <optional>
#include <string>
#include <vector>

class TunStateFile {
public:
    static constexpr const char *kFileName = "tun-state";
    static constexpr const char *kDefaultDirectory = "/run/kestd";
    static constexpr const char *kPathVariable = "KESTD_TUN_STATE";
    static constexpr const char *kHeader = "kestd-tun-state 1";

    static std::string path();

    // Adds a record unless an equal one is there; 0 or an errno (logged).
    static int add(const std::string &record);
    // Strikes off one record equal to it; the file goes with its last record.
    static void remove(const std::string &record);
    // The records in the order they were added.
    static std::vector<std::string> records();
    // The records, which are struck off all at once (start-up recovery).
    static std::vector<std::string> takeAll();
    // The record was made in the caller's network namespace.
    static bool isOfThisNamespace(const std::string &record);

    // The kind word of a record, and the value of one of its fields.
    static std::string kindOf(const std::string &record);
    static std::optional<std::string> field(const std::string &record, const std::string &key);
    static std::string escape(const std::string &value);
    static std::string unescape(const std::string &value);
};
