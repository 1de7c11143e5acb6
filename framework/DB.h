// Data access: variants, fields, data sets, data sources and data links, and
// the in-memory data set. The SQLite data sets are in DBTables.h.
#pragma once

#include "framework/DataLink.h"
#include "framework/DataSet.h"
#include "framework/Fields.h"
#include "framework/MemDataSet.h"
#include "framework/Variants.h"
