#pragma once
// What an app group's tcp: and pty: endpoints say in the log: a program
// connecting and leaving, connections refused (each address at most once a
// minute per endpoint), and why an endpoint could not be made.
#include <cstdint>
#include <functional>
#include <string>

#include "platform/endpoint.h"

namespace brinmoor {

// Options for opening a group's port of this name: peers are admitted by
// `admits` (empty: all), and what the endpoint does is logged under the name
// as written.
EndpointOptions GroupEndpointOptions(const std::string& name,
                                     const std::function<bool(std::uint32_t)>& admits);

}  // namespace brinmoor
