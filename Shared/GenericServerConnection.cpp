#include "GenericServerConnection.h"

// The interface has no code of its own; this unit only anchors its header in
// the library.
