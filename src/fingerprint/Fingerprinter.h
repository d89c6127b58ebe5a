// Acoustic fingerprints of one audio file, several algorithms in one pass.
#pragma once

#include <boost/shared_ptr.hpp>
#include <map>
#include <set>
#include <string>

#include "audio/IDecoder.h"
#include "fingerprint/FingerprintSystem.h"
#include "platform/gnsdk/gnsdk.h"

class IFingerprinter {
  public:
    virtual ~IFingerprinter() = default;
    // Decodes `path` with `decoder` and fills `fingerprints` (SDK algorithm
    // name to text) for every name in `algorithms`. On failure returns false
    // with the error record in `error`; `fingerprints` must then be ignored.
    virtual bool Fingerprint(boost::shared_ptr<IDecoder> decoder, const std::string& path,
                             const std::set<std::string>& algorithms,
                             std::map<std::string, std::string>& fingerprints,
                             std::string& error) = 0;
};

// Owns the feature handles of one fingerprinting call, one slot per algorithm
// index, and releases them (in slot order) when it goes out of scope.
class FeatureHandles {
  public:
    FeatureHandles() = default;
    ~FeatureHandles();
    FeatureHandles(const FeatureHandles&) = delete;
    FeatureHandles& operator=(const FeatureHandles&) = delete;

    gnsdk_dsp_feature_handle_t m_handles[kAlgorithmCount] = {nullptr, nullptr, nullptr};
};

// Feeds decoded audio to the SDK, frame by frame as the decoder makes it (one
// second at a time from decoders that only step), until every requested
// algorithm has what it needs. Keeps nothing between calls: one instance may
// serve any number of files in sequence, and instances on different threads
// share only the read-only user handle.
class GNSDKFingerprinter : public IFingerprinter {
  public:
    bool Fingerprint(boost::shared_ptr<IDecoder> decoder, const std::string& path,
                     const std::set<std::string>& algorithms,
                     std::map<std::string, std::string>& fingerprints, std::string& error) override;

    // Written only by FingerprintSystem::Init, before any worker thread runs.
    static gnsdk_user_handle_t m_huser;
};

// Standard base64 of the bytes of `text`, without "=" padding or line breaks.
std::string EncodeBase64NoPadding(const std::string& text);
