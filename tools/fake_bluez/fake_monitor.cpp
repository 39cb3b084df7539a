#include "fake_adapter.h"
