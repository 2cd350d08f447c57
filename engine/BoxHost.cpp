#include "engine/BoxHost.hpp"
