#include "LinkTarget.h"

std::function<void(const std::string &symbol)> LinkSymbolHandler;

void LinkSymbolExternally(const std::string &symbol)
{
    if (LinkSymbolHandler)
        LinkSymbolHandler(symbol);
}
