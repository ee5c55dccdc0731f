#pragma once

#include "platform/MachineIdentifiers.h"

#include <vector>

namespace velkor {

class Registry;

// The identifiers a saved registry holds about the Mac it was saved on and its user, found by
// their property keys anywhere in the IOService plane (in nested dictionaries and arrays too):
// platform serial number, board serial and MLB; platform UUID; MAC addresses (IOMACAddress and
// other address data, Bluetooth addresses, ROM); serial numbers of USB devices, disks,
// batteries and cameras; the console users' names; the computer's name. Values come as they
// would be written (data as its texts, six address bytes as a MAC address); the privacy audit's
// identifier set then spells each of them every way it looks for.
std::vector<MachineIdentifier> savedRegistryIdentifiers(const Registry& registry);

} // namespace velkor
