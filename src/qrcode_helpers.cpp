// Placeholder: filled in by its own change.
#include "qrcode_internal.h"
