#pragma once

namespace orv {

// The ECDSA P-256 public key of the publisher, as X||Y (32 bytes each), that
// this executable checks manifests against. A build without one
// (kHasPublisherKey false) reads manifests unsigned, as it always has.

extern const bool kHasPublisherKey;
extern const unsigned char kPublisherKey[64];

} // namespace orv
