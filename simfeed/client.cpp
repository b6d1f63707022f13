#include "feed/TellivarClient.h"

// Placeholder until the simulated market lands: no client installed.
TellivarClient* pTellivarClient = nullptr;
