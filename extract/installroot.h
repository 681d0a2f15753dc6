#pragma once

#include <QString>

// The folder the repositories are installed into, and the programs started from: the
// application's local data folder as Qt reports it, asked anew at each call. Empty when Qt
// knows none.
QString installRoot();
