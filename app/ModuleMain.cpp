#include "app/ModuleMain.h"
