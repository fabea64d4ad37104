// Module state of orveksdk.trend_kit: its identifiers, texts, numbers and
// cached builtins, all made once at import.
#pragma once

#include "frame/body.hpp"

namespace trend_kit {

// Identifiers: global, attribute, keyword and module names.
namespace n {
using frame::Name;
inline Name pd{"pd"}, pandas{"pandas"}, datetime{"datetime"}, timedelta{"timedelta"};
inline Name dateutil{"dateutil"}, parser{"parser"};
inline Name sklearn_linear_model{"sklearn.linear_model"}, LinearRegression{"LinearRegression"};
inline Name re{"re"}, pydantic{"pydantic"}, BaseModel{"BaseModel"}, Field{"Field"};
inline Name typing{"typing"}, ClassVar{"ClassVar"}, Dict{"Dict"}, json{"json"};
inline Name langchain_tools{"langchain.tools"}, BaseTool{"BaseTool"};
inline Name ForecastInput{"ForecastInput"}, TrendKit{"TrendKit"}, Config{"Config"};
inline Name arbitrary_types_allowed{"arbitrary_types_allowed"}, description{"description"};
inline Name name{"name"}, annotations{"__annotations__"}, test{"__test__"};
inline Name run{"_run"}, arun{"_arun"}, conv_date{"conv_date"}, ts_forecast{"ts_forecast"};
inline Name input{"input"}, data{"data"}, df{"df"}, period{"period"};
inline Name return_{"return"}, str{"str"}, int_{"int"};
inline Name parse{"parse"}, strftime{"strftime"}, replace{"replace"}, index{"index"};
inline Name to_datetime{"to_datetime"}, set_index{"set_index"}, inplace{"inplace"};
inline Name Timestamp{"Timestamp"}, days{"days"}, fit{"fit"}, predict{"predict"}, max{"max"};
inline Name DataFrame{"DataFrame"}, loads{"loads"}, match{"match"}, group{"group"};
inline Name traceback{"traceback"}, print_exc{"print_exc"}, empty{"empty"};
inline Name Series{"Series"}, RangeIndex{"RangeIndex"};
inline Name eval{"eval"}, NotImplementedError{"NotImplementedError"}, sum{"sum"}, range{"range"};
inline Name ValueError{"ValueError"}, Exception{"Exception"};
}  // namespace n

// Text constants.
namespace t {
using frame::Text;
inline Text df_description{"Input dataset as a DataFrame"};
inline Text period_description{"The period to forecast"};
inline Text forecast_input_doc{"\n    Inputs for the forecasting function.\n    "};
inline Text trend_kit_doc{"Tool for time series forecasting."};
inline Text forecast{"forecast"};
inline Text tool_description{"\n    Use this tool for time series forecasting\n    "};
inline Text pd_DataFrame{"pd.DataFrame"};
inline Text date_format{"%Y-%m-%d"};
inline Text epoch{"1970-01-01"};
inline Text Forecasted_values{"Forecasted_values"};
inline Text dates{"dates"};
inline Text timestamp{"timestamp"};
inline Text values{"values"};
inline Text empty_forecast{"Forecasting produced an empty DataFrame."};
inline Text data_input{"data_input"};
inline Text date{"date"};
inline Text period{"period"};
inline Text error{"error"};
inline Text quote{"'"};
inline Text double_quote{"\""};
inline Text decimal_pattern{R"(Decimal\('[\d.]+'\))"};
inline Text config_qualname{"ForecastInput.Config"};
inline Text period_too_large{"period must be at most 100000, got "};
inline Text async_refusal{"TrendKit does not support async"};
}  // namespace t

// Integer constants.
inline frame::Int one{1}, nine{9}, minus_two{-2}, year_1970{1970}, max_period{100000};

// Builtins cached at import, in this order: eval, NotImplementedError, sum
// and range, then the types and exceptions the bodies test against.
inline frame::Builtin b_eval{n::eval}, b_NotImplementedError{n::NotImplementedError},
    b_sum{n::sum}, b_range{n::range}, b_str{n::str}, b_int{n::int_},
    b_ValueError{n::ValueError}, b_Exception{n::Exception};

frame::Flow body(frame::Body& here) noexcept;

}  // namespace trend_kit
