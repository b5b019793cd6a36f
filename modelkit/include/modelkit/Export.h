// Symbols of the model library are hidden unless marked with MODELKIT_API.
#pragma once

#define MODELKIT_API __attribute__((visibility("default")))
