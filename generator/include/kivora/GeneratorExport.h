// Symbols of the note generator library are hidden unless marked with KIVORA_GENERATOR_API.
#pragma once

#define KIVORA_GENERATOR_API __attribute__((visibility("default")))
