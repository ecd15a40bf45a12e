// The host's own addresses: a query from one of them is the host's own (its
// recursion, its forwarding), not a client's.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quillet {

// Every address of the host, as text, sorted and without repeats. The shipped
// binary reads the interfaces; tests give their own.
using HostAddresses = std::function<std::vector<std::string>()>;

// Every IPv4 and IPv6 address of every interface at this moment, loopback
// included, in the text form inet_ntop writes (no zone index). A list that
// cannot be read raises Failure.
std::vector<std::string> interface_addresses();

}  // namespace quillet
