#pragma once
// Deletes one rule of an nftables table that another process owns (table flag
// "owner"), as only that process's own netlink socket may: the socket is
// borrowed with pidfd_getfd and a delete-rule batch sent on it. This stands in
// for a rule that vanishes by hand or by a fault, which nothing else can
// bring about on an owned table. Needs root.

#include <cstdint>
#include <string>
#include <sys/types.h>

// True when the batch was sent on the owner's socket (the caller checks the
// rule is gone by listing); *error says what failed otherwise.
bool deleteRuleAsOwner(pid_t owner, const std::string &table, const std::string &chain, std::uint64_t handle,
                       std::string *error);
