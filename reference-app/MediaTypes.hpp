#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "platform/UTType.hpp"

// The audio and video MIME types a drop may offer as raw data, and the content type each names.
namespace reference_app {

// The audio or video content type of `mimeType` ("audio/mp4"); none for any other MIME type.
std::optional<platform::UTType> audioTypeForMIMEType(std::string_view mimeType);

// Every MIME type that audioTypeForMIMEType knows, in order of preference.
const std::vector<std::string_view>& audioMIMETypes();

}  // namespace reference_app
