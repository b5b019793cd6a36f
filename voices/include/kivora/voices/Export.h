// Symbols of the voice library are hidden unless marked with KIVORA_VOICES_API.
#pragma once

#define KIVORA_VOICES_API __attribute__((visibility("default")))
