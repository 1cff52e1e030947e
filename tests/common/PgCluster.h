#pragma once

// The PostgreSQL cluster is one kind of the shared database server fixture.
#include "tests/common/DbServer.h"
