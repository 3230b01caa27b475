// IRQL contracts of routines (the platform's driverspecs.h). The layer's verifier checks the
// IRQL of framework calls and of PAGED_CODE at run time; these say the contract in the source.
#pragma once

#include <sal.h>

#define _IRQL_requires_(irql)
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_min_(irql)
#define _IRQL_requires_same_
#define _IRQL_raises_(irql)
#define _IRQL_saves_
#define _IRQL_restores_
