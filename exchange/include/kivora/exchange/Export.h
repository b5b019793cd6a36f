// Symbols of the exchange library are hidden unless marked with KIVORA_EXCHANGE_API.
#pragma once

#define KIVORA_EXCHANGE_API __attribute__((visibility("default")))
