// A scan result text as columns, one Python list per column: what the
// package's tables (Arrow, pandas, polars, CSV) are built from, read with the
// radar's own JSON reader so no text is parsed twice in Python.
#define PY_SSIZE_T_CLEAN  // "s#" takes a Py_ssize_t length
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "binding/engine_functions.hpp"
#include "binding/file_common.hpp"
#include "json/error.hpp"
#include "json/reader.hpp"
#include "json/value.hpp"
#include "spec/spec.hpp"

namespace zolvar {

namespace {

constexpr std::string_view kSeverity = "severity";

struct Columns {
    std::vector<std::string_view> keys;  // factor labels in the radar's order, "severity" left out
    std::vector<std::string_view> symbols;
    std::vector<double> severities;
    std::vector<int64_t> ts;
    std::vector<double> values;  // alert after alert, one per key
    uint64_t scanned = 0;
};

std::string not_a_result(const std::string& why) {
    return radar::RadarError::parse("not a scan result: " + why).render();
}

std::string alert_at(size_t i) { return "alert " + std::to_string(i + 1); }

// The writer turns a non-finite double into null: read it back as NaN.
bool read_double(const radar::JsonValue& v, double& out) {
    if (v.is_null()) {
        out = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (v.kind() != radar::JsonValue::Kind::Number) return false;
    out = v.to_f64();
    return true;
}

bool read_i64(const radar::JsonValue& v, int64_t& out) {
    if (v.kind() != radar::JsonValue::Kind::Number) return false;
    switch (v.number_kind()) {
        case radar::JsonValue::NumberKind::Signed:
            out = v.as_i64();
            return true;
        case radar::JsonValue::NumberKind::Unsigned:
            if (v.as_u64() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
            out = static_cast<int64_t>(v.as_u64());
            return true;
        default:
            return false;
    }
}

// Empty on success, else the error text. Objects iterate in key byte order,
// which is the order the radar writes factor labels in ("severity" sorts
// after every label, and is skipped).
std::string read_columns(const radar::JsonValue& root, Columns& out) {
    if (!root.is_object()) return not_a_result("not an object");
    if (const radar::JsonValue* error = root.find("error"); error != nullptr && error->is_string()) {
        return std::string(error->as_string());  // a refused command's answer: its own error
    }
    const radar::JsonValue* alerts = root.find("alerts");
    if (alerts == nullptr || !alerts->is_array()) return not_a_result("no \"alerts\" list");
    const radar::JsonValue* scanned = root.find("scanned");
    if (scanned == nullptr || scanned->kind() != radar::JsonValue::Kind::Number ||
        scanned->number_kind() != radar::JsonValue::NumberKind::Unsigned) {
        return not_a_result("no \"scanned\" count");
    }
    out.scanned = scanned->as_u64();
    const auto items = alerts->items();
    out.symbols.reserve(items.size());
    out.severities.reserve(items.size());
    out.ts.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        const radar::JsonValue& alert = items[i];
        const radar::JsonValue* symbol = alert.find("symbol");
        if (symbol == nullptr || !symbol->is_string()) return not_a_result(alert_at(i) + " has no \"symbol\"");
        double severity = 0.0;
        const radar::JsonValue* sev = alert.find(kSeverity);
        if (sev == nullptr || !read_double(*sev, severity)) {
            return not_a_result(alert_at(i) + " has no numeric \"severity\"");
        }
        int64_t ts = 0;
        const radar::JsonValue* t = alert.find("ts");
        if (t == nullptr || !read_i64(*t, ts)) return not_a_result(alert_at(i) + " has no integer \"ts\"");
        const radar::JsonValue* factors = alert.find("factors");
        if (factors == nullptr || !factors->is_object()) return not_a_result(alert_at(i) + " has no \"factors\"");
        size_t k = 0;
        for (const radar::JsonMember& m : factors->members()) {
            if (m.key == kSeverity) continue;
            if (i == 0) {
                out.keys.push_back(m.key);
            } else if (k >= out.keys.size() || out.keys[k] != m.key) {
                return not_a_result(alert_at(i) + " has other factors than alert 1");
            }
            double value = 0.0;
            if (!read_double(m.value, value)) {
                return not_a_result(alert_at(i) + " factor " + std::string(m.key) + " is not a number");
            }
            out.values.push_back(value);
            ++k;
        }
        if (k != out.keys.size()) return not_a_result(alert_at(i) + " has other factors than alert 1");
        out.symbols.push_back(symbol->as_string());
        out.severities.push_back(severity);
        out.ts.push_back(ts);
    }
    return {};
}

// New references appended to a list; false with an exception set.
bool append_new(PyObject* list, PyObject* item) {
    if (item == nullptr) return false;
    const int rc = PyList_Append(list, item);
    Py_DECREF(item);
    return rc == 0;
}

PyObject* str_list(const std::vector<std::string_view>& texts) {
    PyObject* list = PyList_New(0);
    if (list == nullptr) return nullptr;
    for (std::string_view t : texts) {
        if (!append_new(list, new_str(t, "strict"))) {
            Py_DECREF(list);
            return nullptr;
        }
    }
    return list;
}

// Every `stride`-th value from `first`.
PyObject* float_list(const std::vector<double>& values, size_t first, size_t stride) {
    PyObject* list = PyList_New(0);
    if (list == nullptr) return nullptr;
    for (size_t i = first; i < values.size(); i += stride) {
        if (!append_new(list, PyFloat_FromDouble(values[i]))) {
            Py_DECREF(list);
            return nullptr;
        }
    }
    return list;
}

PyObject* int_list(const std::vector<int64_t>& values) {
    PyObject* list = PyList_New(0);
    if (list == nullptr) return nullptr;
    for (int64_t v : values) {
        if (!append_new(list, PyLong_FromLongLong(v))) {
            Py_DECREF(list);
            return nullptr;
        }
    }
    return list;
}

// The factor labels a specification's results carry, in their order.
bool spec_keys(std::string_view text, std::vector<std::string>& keys) {
    auto spec = radar::RadarSpec::from_json_text(text);
    if (!spec) {
        value_error(spec.error().render());
        return false;
    }
    if (auto refused = spec.value().validate(&keys)) {
        value_error(refused->render());
        return false;
    }
    std::sort(keys.begin(), keys.end());
    return true;
}

PyObject* build(const Columns& c) {
    const size_t width = c.keys.size();
    PyObject* factors = PyList_New(0);
    if (factors == nullptr) return nullptr;
    for (size_t k = 0; k < width; ++k) {
        if (!append_new(factors, float_list(c.values, k, width))) {
            Py_DECREF(factors);
            return nullptr;
        }
    }
    PyObject* keys = str_list(c.keys);
    PyObject* symbols = keys ? str_list(c.symbols) : nullptr;
    PyObject* severities = symbols ? float_list(c.severities, 0, 1) : nullptr;
    PyObject* ts = severities ? int_list(c.ts) : nullptr;
    PyObject* result = ts ? Py_BuildValue("(OOOOOK)", keys, symbols, severities, ts, factors,
                                          static_cast<unsigned long long>(c.scanned))
                          : nullptr;
    Py_XDECREF(keys);
    Py_XDECREF(symbols);
    Py_XDECREF(severities);
    Py_XDECREF(ts);
    Py_DECREF(factors);
    return result;
}

PyObject* alert_columns(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"text", "spec", nullptr};
    const char* text = nullptr;
    Py_ssize_t size = 0;
    const char* spec = nullptr;
    Py_ssize_t spec_size = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s#|z#:alert_columns", const_cast<char**>(names), &text, &size,
                                     &spec, &spec_size)) {
        return nullptr;
    }
    try {
        radar::JsonDocument document;
        radar::JsonError syntax;
        if (!document.parse(std::string_view(text, static_cast<size_t>(size)), syntax)) {
            return value_error(radar::RadarError::from_json(syntax).render());
        }
        Columns columns;
        if (std::string error = read_columns(document.root(), columns); !error.empty()) return value_error(error);
        // Labels show only on alerts: an empty list takes them from the specification.
        std::vector<std::string> labels;
        if (columns.symbols.empty() && spec != nullptr) {
            if (!spec_keys(std::string_view(spec, static_cast<size_t>(spec_size)), labels)) return nullptr;
            columns.keys.assign(labels.begin(), labels.end());
        }
        return build(columns);
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

constexpr const char kColumnsDoc[] =
    "alert_columns(text, spec=None)\n--\n\n"
    "The columns of a scan result text: (factor keys without \"severity\", symbols, severities, ts,\n"
    "[values of each factor key], scanned), alerts in rank order. With no alert, the keys come from\n"
    "the specification text when one is given. ValueError carries the radar's error for a text that\n"
    "is not a scan result.";

}  // namespace

PyMethodDef table_functions[] = {
    {"alert_columns", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(alert_columns)),
     METH_VARARGS | METH_KEYWORDS, kColumnsDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zolvar
