// Replication, in one include: a per-replica sum reconciled by an
// idempotent join (replicated/sum.hpp), maps from text keys to mergeable
// states reconciled by additive merge (replicated/maps.hpp), and a plain
// exact running sum (replicated/deltas.hpp).
#pragma once

#include "replicated/deltas.hpp"
#include "replicated/maps.hpp"
#include "replicated/sum.hpp"
