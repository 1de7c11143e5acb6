// Data access: variants, fields, data sets, data sources and data links, and
// the in-memory data set. The SQLite data sets are in DBTables.h.
#pragma once

#include "DataLink.h"
#include "DataSet.h"
#include "Fields.h"
#include "MemDataSet.h"
#include "Variants.h"
