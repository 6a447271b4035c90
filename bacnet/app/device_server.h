// The answering side of the driver's own Device object: ReadProperty, ReadPropertyMultiple and
// WriteProperty requests addressed to it. Called from the device's indication handler.
#pragma once

#include <string>

#include "bacnet/app/pdu.h"

namespace zb::bacnet {

class TBACnetDevice;

// Tag layouts of ReadDeviceProperty.
constexpr int kReadPropertyLayout = 3;          // [1] property, [2] index, [3] ... [3]
constexpr int kReadPropertyMultipleLayout = 4;  // [2] property, [3] index, [4] ... [4]

// Each builds the answer, sends it through the device's application layer (complex ACK for the
// reads, simple ACK for the write) and returns the answer's service data.
std::string AnswerReadProperty(TBACnetDevice& device, const TBACnetPDU& request);
std::string AnswerReadPropertyMultiple(TBACnetDevice& device, const TBACnetPDU& request);
void AnswerWriteProperty(TBACnetDevice& device, const TBACnetPDU& request);

// One property of the Device object in the given layout; 8 gives every property in ascending
// order; an unknown identifier gives the empty text. arrayIndex -1 means none.
std::string ReadDeviceProperty(TBACnetDevice& device, int propertyId, int arrayIndex, int layout);

// The property identifiers served, ascending.
const int* DevicePropertyIds(int& count);

}  // namespace zb::bacnet
