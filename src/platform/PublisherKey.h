#pragma once

namespace orv {

// The ECDSA P-256 public key of the publisher, as X||Y (32 bytes each), that
// this executable checks manifests against. A build without one
// (kHasPublisherKey false) reads manifests unsigned, as it always has.

extern const bool kHasPublisherKey;
extern const unsigned char kPublisherKey[64];

// What a build without a key says of itself, in its version resource and in
// the "Session start" line of every run: "unsigned development build". Empty
// in a build with a key.
extern const wchar_t kBuildMarker[];

} // namespace orv
