#pragma once

#include <functional>
#include <string>

// Where a symbol clicked in an alert grid goes. The external linking window
// installs itself here when it is created; until then a click links nothing.
// Keeping the grids on this function spares them a dependency on the window.
extern std::function<void(const std::string &symbol)> LinkSymbolHandler;

// Hands the symbol to LinkSymbolHandler when one is installed.
void LinkSymbolExternally(const std::string &symbol);
