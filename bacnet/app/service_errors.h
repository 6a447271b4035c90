// The error classes and codes and the reject reasons the services answer with.
#pragma once

namespace zb::bacnet {

constexpr int kErrorClassObject = 1;
constexpr int kErrorClassProperty = 2;
constexpr int kErrorCodeReadAccessDenied = 27;
constexpr int kErrorCodeUnknownObject = 31;
constexpr int kErrorCodeUnknownProperty = 32;
constexpr int kErrorCodeWriteAccessDenied = 40;
constexpr int kErrorCodeInvalidArrayIndex = 42;
constexpr int kErrorCodePropertyIsNotAnArray = 50;

// 0 where a decoder answers "no reason": the request is well formed.
constexpr int kRejectNone = 0;
constexpr int kRejectInvalidTag = 4;
constexpr int kRejectMissingRequiredParameter = 5;
constexpr int kRejectTooManyArguments = 7;
constexpr int kRejectUnrecognizedService = 9;

}  // namespace zb::bacnet
