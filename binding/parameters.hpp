// The parameters several entries share, declared once: the name errors
// give an argument, and how it converts (method_table.hpp).
#pragma once

#include "binding/convert.hpp"
#include "binding/method_table.hpp"
#include "binding/query_batch.hpp"

namespace tessaly {

inline constexpr Converted<to_size> kVectorSizeParameter{"vector_size"};
inline constexpr Converted<to_float_vector> kQueryParameter{"vector"};
inline constexpr Converted<to_query_batch> kQueriesParameter{"vectors"};
inline constexpr Converted<to_size> kTopKParameter{"top_k"};
inline constexpr Converted<to_optional_size> kThreadsParameter{"n_threads", "None"};
// The same for the batch methods, whose negative counts name their argument.
inline constexpr Converted<to_size> kBatchTopKParameter{"top_k", nullptr, false, true};
inline constexpr Converted<to_optional_size> kBatchThreadsParameter{"n_threads", "None", false, true};
// from_array's and append's rows and ids, converted as they are read.
inline constexpr Raw kRowsParameter{"vectors"};
inline constexpr Raw kIdsParameter{"ids", "None"};
// from_array's choice of first pass, by keyword only.
inline constexpr Raw kFirstPassParameter{"first_pass", "'int8'", true};
// search_arrays' mask of the entries it ranks, by keyword only.
inline constexpr Raw kWhereParameter{"where", "None", true};
// insert's id: its errors also name each id that _id_array converts.
inline constexpr Raw kIdParameter{"id"};

}  // namespace tessaly
