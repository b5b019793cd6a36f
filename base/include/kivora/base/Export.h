// Symbols of the shared base are hidden unless marked with KIVORA_BASE_API.
#pragma once

#define KIVORA_BASE_API __attribute__((visibility("default")))
