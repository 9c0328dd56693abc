#include "lmfs_abi_host/layout_check.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <optional>
#include <utility>

#include "lmfs_abi_host/layout_reader.h"
#include "lmfs_abi_host/layout_text.h"
#include "lmfs_abi/required_traits.h"
#include "lmfs_text/strcat.h"
#include "lmfs_abi/version.h"

namespace lmfs::abi::layout {

using text::cat;
using text::hex;
namespace {

// A stable sort that needs no temporary buffer (std::stable_sort's is
// deprecated in newer libraries): equal elements keep their order.
template <class T, class Less>
void sort_stably(std::vector<T>& v, Less less) {
  std::vector<std::size_t> order(v.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return less(v[a], v[b]) || (!less(v[b], v[a]) && a < b); });
  std::vector<T> sorted;
  sorted.reserve(v.size());
  for (std::size_t i : order) sorted.push_back(std::move(v[i]));
  v = std::move(sorted);
}


// What a field list being compared belongs to.
enum class FieldContext : std::uint8_t { Fields, Subfields, PhantomFields };

enum class State : std::uint8_t { Checking, Compatible, Error };
struct Visit {
  State state;
  unsigned layer;
};

// A field as the checker sees it: a field of a type, or a parameter or the
// return value of one of its functions.
struct FieldRef {
  std::string name;
  const LifetimeIndices* lifetimes;
  NodeId type;
  const std::vector<Function>* functions;  // null for parameters
  bool is_function;
};

const LifetimeIndices& no_lifetimes() {
  static const LifetimeIndices empty{false, 0, {0, 0, 0}};
  return empty;
}

std::vector<FieldRef> field_refs(const std::vector<Field>& fields) {
  std::vector<FieldRef> out;
  out.reserve(fields.size());
  for (const Field& f : fields) out.push_back({f.name, &f.lifetimes, f.type, &f.functions, f.is_function});
  return out;
}

// A function's parameters, named as the framework names them, then its
// return value as the field "__returns".
std::vector<FieldRef> params_and_return(const Function& f) {
  std::vector<FieldRef> out;
  const auto names = param_names(f);
  for (std::size_t i = 0; i < f.params.size(); ++i) out.push_back({names[i], &no_lifetimes(), f.params[i], nullptr, false});
  out.push_back({"__returns", &no_lifetimes(), f.returns, nullptr, false});
  return out;
}

// All pieces of `s` split at `sep`, as Rust's str::split yields them.
std::vector<std::string_view> split_all(std::string_view s, char sep) {
  std::vector<std::string_view> out;
  for (;;) {
    const std::size_t at = s.find(sep);
    out.push_back(s.substr(0, at));
    if (at == std::string_view::npos) return out;
    s = s.substr(at + 1);
  }
}

std::string one_line(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  for (char& c : text) {
    if (c == '\n') c = ' ';
  }
  return text;
}

// ---- tags -------------------------------------------------------------------

// The framework's ordering of tags (variant, then value), used to sort sets
// and maps before comparing them.
int compare_tags(const Tag& a, const Tag& b) {
  if (a.kind != b.kind) return a.kind < b.kind ? -1 : 1;
  switch (a.kind) {
    case Tag::Kind::Null: return 0;
    case Tag::Kind::Bool: return a.boolean == b.boolean ? 0 : (a.boolean ? 1 : -1);
    case Tag::Kind::Int: return a.int_value == b.int_value ? 0 : (a.int_value < b.int_value ? -1 : 1);
    case Tag::Kind::UInt: return a.uint_value == b.uint_value ? 0 : (a.uint_value < b.uint_value ? -1 : 1);
    case Tag::Kind::String: return a.string.compare(b.string) < 0 ? -1 : (a.string == b.string ? 0 : 1);
    default: break;
  }
  const std::size_t n = std::min(a.items.size(), b.items.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (int c = compare_tags(a.items[i], b.items[i]); c != 0) return c;
  }
  return a.items.size() == b.items.size() ? 0 : (a.items.size() < b.items.size() ? -1 : 1);
}

bool is_null(const Tag& t) { return t.kind == Tag::Kind::Null; }

// The form the framework compares: nulls dropped from lists, sets and maps
// sorted by key with duplicate keys merged (the last value wins).
Tag checkable(const Tag& t) {
  Tag out = t;
  out.items.clear();
  switch (t.kind) {
    case Tag::Kind::Ignored:
      for (const Tag& i : t.items) out.items.push_back(checkable(i));
      break;
    case Tag::Kind::Array:
      for (const Tag& i : t.items) {
        if (!is_null(i)) out.items.push_back(checkable(i));
      }
      break;
    case Tag::Kind::Set: {
      std::vector<Tag> keys;
      for (const Tag& i : t.items) {
        if (!is_null(i)) keys.push_back(checkable(i));
      }
      sort_stably(keys, [](const Tag& a, const Tag& b) { return compare_tags(a, b) < 0; });
      for (Tag& k : keys) {
        if (out.items.empty() || compare_tags(out.items.back(), k) != 0) out.items.push_back(std::move(k));
      }
      break;
    }
    case Tag::Kind::Map: {
      std::vector<std::pair<Tag, Tag>> entries;
      for (std::size_t i = 0; i + 1 < t.items.size(); i += 2) {
        if (!is_null(t.items[i])) entries.emplace_back(checkable(t.items[i]), checkable(t.items[i + 1]));
      }
      sort_stably(entries, [](const auto& a, const auto& b) { return compare_tags(a.first, b.first) < 0; });
      for (auto& [k, v] : entries) {
        if (!out.items.empty() && compare_tags(out.items[out.items.size() - 2], k) == 0) {
          out.items.back() = std::move(v);
        } else {
          out.items.push_back(std::move(k));
          out.items.push_back(std::move(v));
        }
      }
      break;
    }
    default: break;
  }
  return out;
}

// The framework's tag compatibility: a null expected tag accepts anything;
// lists must match element by element; every expected set value or map
// entry must be found among the library's.
std::optional<std::string> check_tags(const Tag& l, const Tag& r) {
  if (is_null(l)) return std::nullopt;
  if (l.kind != r.kind) return std::string("mismatched tag variant");
  switch (l.kind) {
    case Tag::Kind::Bool:
    case Tag::Kind::Int:
    case Tag::Kind::UInt:
    case Tag::Kind::String:
      if (compare_tags(l, r) != 0) return std::string("mismatched value");
      return std::nullopt;
    case Tag::Kind::Array:
      if (l.items.size() != r.items.size()) {
        return cat("mismatched length: expected ", l.items.size(), ", found ", r.items.size());
      }
      for (std::size_t i = 0; i < l.items.size(); ++i) {
        if (auto e = check_tags(l.items[i], r.items[i])) return cat(*e, " inside ", one_line(tag_text(l.items[i])));
      }
      return std::nullopt;
    case Tag::Kind::Set:
    case Tag::Kind::Map: {
      const bool is_map = l.kind == Tag::Kind::Map;
      const std::size_t step = is_map ? 2 : 1;
      if (l.items.size() > r.items.size()) {
        return cat("mismatched length: expected at least ", l.items.size() / step, ", found ", r.items.size() / step);
      }
      std::size_t r_next = 0;
      for (std::size_t i = 0; i < l.items.size(); i += step) {
        bool matched = false;
        while (r_next < r.items.size()) {
          const std::size_t j = r_next;
          r_next += step;
          if (!check_tags(l.items[i], r.items[j]) && (!is_map || !check_tags(l.items[i + 1], r.items[j + 1]))) {
            matched = true;
            break;
          }
        }
        if (!matched) {
          return cat(is_map ? "no matching map entry for " : "missing set value ", one_line(tag_text(l.items[i])));
        }
      }
      return std::nullopt;
    }
    default: return std::nullopt;
  }
}

// ---- the checker -------------------------------------------------------------

using Errors = std::vector<LayoutMismatch>;

class Checker {
 public:
  Checker(const Graph& expected, const Graph& found) : t_(expected), o_(found) {}

  std::vector<LayoutMismatch> run() {
    if (t_.nodes.empty() || o_.nodes.empty()) {
      return {{MismatchKind::Name, t_.nodes.empty() ? "<no layout>" : t_.nodes[0].full_type,
               o_.nodes.empty() ? "<no layout>" : o_.nodes[0].full_type, {}, "a graph has no root"}};
    }
    path_ = {t_.nodes[0].full_type};
    const Node& a = t_.nodes[0];
    const Node& b = o_.nodes[0];
    if (a.kind == tl::DataKind::PrefixType || b.kind == tl::DataKind::PrefixType) {
      // A prefix type is only ever compared behind a reference to it.
      Errors errs;
      push(errs, MismatchKind::TLDataDiscriminant, std::string(data_kind_text(a.kind)),
           std::string(data_kind_text(b.kind)));
      flush(errs, 0);
    } else {
      check_inner(0, 0);
    }
    sort_stably(recorded_, [](const Recorded& x, const Recorded& y) { return x.index < y.index; });
    std::vector<LayoutMismatch> out;
    out.reserve(recorded_.size());
    for (auto& r : recorded_) out.push_back(std::move(r.mismatch));
    return out;
  }

 private:
  struct Recorded {
    std::size_t index;
    LayoutMismatch mismatch;
  };

  void push(Errors& errs, MismatchKind kind, std::string expected, std::string found, std::string note = {}) {
    errs.push_back({kind, std::move(expected), std::move(found), path_, std::move(note)});
  }
  void flush(Errors& errs, std::size_t index) {
    for (auto& e : errs) recorded_.push_back({index, std::move(e)});
    errs.clear();
  }

  // Checks a pair of layouts one layer down (a const parameter's or an extra
  // check's type): compatible only if no mismatch was found on the way.
  bool nested_check(NodeId t, NodeId o, std::string what) {
    const std::size_t before = recorded_.size();
    path_.push_back(std::move(what));
    ++layer_;
    const bool ok = check_inner(t, o);
    --layer_;
    path_.pop_back();
    return ok && recorded_.size() == before;
  }

  bool check_inner(NodeId t, NodeId o) {
    const std::size_t index = ++error_index_;
    const auto key = std::make_pair(t, o);
    if (auto it = visited_.find(key); it != visited_.end()) {
      Visit& v = it->second;
      switch (v.state) {
        case State::Checking:
          if (v.layer == layer_) return true;  // a cycle: compatible unless shown otherwise
          v.state = State::Error;
          {
            Errors errs;
            push(errs, MismatchKind::CyclicTypeChecking, t_.node(t).full_type, o_.node(o).full_type,
                 "the type is checked again while checking one of its const parameters or extra checks");
            flush(errs, index);
          }
          return false;
        case State::Compatible: return true;
        case State::Error: return false;
      }
    }
    visited_.emplace(key, Visit{State::Checking, layer_});
    const std::size_t start = recorded_.size();
    Errors errs;
    compare(errs, t, o);
    const bool nested_errors = recorded_.size() != start;
    const bool had_errors = !errs.empty();
    flush(errs, index);
    Visit& v = visited_.at(key);
    if (!had_errors && !nested_errors && v.state != State::Error) {
      v.state = State::Compatible;
      return true;
    }
    v.state = State::Error;
    return false;
  }

  void compare(Errors& errs, NodeId t, NodeId o) {
    const Node& a = t_.node(t);
    const Node& b = o_.node(o);
    if (a.name != b.name) return push(errs, MismatchKind::Name, a.full_type, b.full_type);
    if (a.package != b.package) return push(errs, MismatchKind::Package, a.package, b.package);
    if (a.is_nonzero != b.is_nonzero) {
      push(errs, MismatchKind::NonZeroness, a.is_nonzero ? "true" : "false", b.is_nonzero ? "true" : "false");
    }
    if (a.repr.kind != b.repr.kind || a.repr.payload != b.repr.payload) {
      push(errs, MismatchKind::ReprAttr, repr_debug(a.repr, false), repr_debug(b.repr, false));
    }
    {
      auto l = parse_version(a.version);
      auto r = l ? parse_version(b.version) : l;
      if (!l || !r) {
        return push(errs, MismatchKind::PackageVersionParseError, "a valid version string",
                    l ? r.error() : l.error());
      }
      if (!loosely_compatible(*l, *r)) push(errs, MismatchKind::PackageVersion, a.version, b.version);
    }
    if (a.generics.lifetime_count != b.generics.lifetime_count ||
        a.generics.consts.size() != b.generics.consts.size()) {
      push(errs, MismatchKind::GenericParamCount, a.full_type, b.full_type);
    }
    for (std::size_t i = 0; i < std::min(a.generics.consts.size(), b.generics.consts.size()); ++i) {
      const ConstParam& l = a.generics.consts[i];
      const ConstParam& r = b.generics.consts[i];
      const bool same_type = nested_check(l.layout, r.layout, cat("const parameter ", i));
      if (!same_type || l.bytes != r.bytes) push(errs, MismatchKind::MismatchedConstParam, l.text, r.text);
    }

    check_fields(errs, t, o, FieldContext::PhantomFields, field_refs(a.phantom_fields), field_refs(b.phantom_fields));

    if (a.size > b.size || (a.size < b.size && a.kind != tl::DataKind::PrefixType)) {
      push(errs, MismatchKind::Size, std::to_string(a.size), std::to_string(b.size));
    }
    if (a.alignment_power != b.alignment_power) {
      push(errs, MismatchKind::Alignment, std::to_string(a.alignment()), std::to_string(b.alignment()));
    }
    if (a.kind != b.kind) {
      push(errs, MismatchKind::TLDataDiscriminant, std::string(data_kind_text(a.kind)),
           std::string(data_kind_text(b.kind)));
    }
    if (auto e = check_tags(checkable(a.tag), checkable(b.tag))) {
      push(errs, MismatchKind::TagError, tag_text(a.tag), tag_text(b.tag), *e);
    }
    check_extra_checks(errs, a, b);

    if (a.kind != b.kind) return;
    switch (a.kind) {
      case tl::DataKind::Opaque: break;
      case tl::DataKind::Primitive:
        if (a.primitive != b.primitive) {
          push(errs, MismatchKind::MismatchedPrimitive, std::string(primitive_text(a.primitive)),
               std::string(primitive_text(b.primitive)));
        }
        break;
      case tl::DataKind::Struct:
      case tl::DataKind::Union:
        check_fields(errs, t, o, FieldContext::Fields, field_refs(a.fields), field_refs(b.fields));
        break;
      case tl::DataKind::Enum: check_enum(errs, t, o); break;
      case tl::DataKind::PrefixType: check_prefix(errs, t, o); break;
    }
  }

  void check_extra_checks(Errors& errs, const Node& a, const Node& b) {
    if (!a.extra_checks) return;
    if (!b.extra_checks) {
      return push(errs, MismatchKind::NoneExtraChecks, "extra checks", "none",
                  "this host's type has extra checks, the library's has none");
    }
    const ExtraChecks& te = *a.extra_checks;
    const ExtraChecks& oe = *b.extra_checks;
    if (!te.required_traits) {
      return push(errs, MismatchKind::ExtraChecks, t_.node(te.layout).full_type, o_.node(oe.layout).full_type,
                  "this host cannot evaluate extra checks of this type");
    }
    // The library's check must have the same type before its value is read.
    if (!nested_check(te.layout, oe.layout, "extra checks: " + t_.node(te.layout).full_type)) return;
    const std::string expected = tl::required_traits_display(*te.required_traits);
    if (!oe.required_traits) {
      return push(errs, MismatchKind::ExtraChecks, expected, o_.node(oe.layout).full_type,
                  "the library's extra checks cannot be read");
    }
    const tl::RequiredTraits& l = *te.required_traits;
    const tl::RequiredTraits& r = *oe.required_traits;
    if (l.auto_traits != r.auto_traits) {
      push(errs, MismatchKind::ExtraChecks, expected, tl::required_traits_display(r),
           "the auto traits must be exactly the same");
    } else if ((l.regular_traits & r.regular_traits) != l.regular_traits) {
      push(errs, MismatchKind::ExtraChecks, expected, tl::required_traits_display(r),
           "the library does not implement every trait this host requires");
    }
  }

  std::string field_element(const Graph& g, const FieldRef& f) const {
    if (f.is_function && f.functions != nullptr && f.functions->size() == 1) {
      return cat(f.name, ": ", one_line(function_text(g, f.functions->front())));
    }
    return cat(f.name, ": ", g.node(f.type).full_type);
  }

  void check_fields(Errors& errs, NodeId t_lay, NodeId o_lay, FieldContext ctx, const std::vector<FieldRef>& tf,
                    const std::vector<FieldRef>& of) {
    if (tf.empty() && of.empty()) return;
    const Node& a = t_.node(t_lay);
    const Node& b = o_.node(o_lay);
    // A library may add fields to prefix types and nonexhaustive enums.
    const bool extensible =
        a.kind == tl::DataKind::PrefixType || (a.kind == tl::DataKind::Enum && !a.enum_data.exhaustive);
    if (tf.size() > of.size() || (tf.size() < of.size() && !extensible)) {
      push(errs, MismatchKind::FieldCountMismatch, std::to_string(tf.size()), std::to_string(of.size()));
    }
    const bool both_prefix = a.kind == tl::DataKind::PrefixType && b.kind == tl::DataKind::PrefixType;
    for (std::size_t i = 0; i < std::min(tf.size(), of.size()); ++i) {
      const FieldRef& l = tf[i];
      const FieldRef& r = of[i];
      if (l.name != r.name) {
        push(errs, MismatchKind::UnexpectedField, cat(l.name, ": ", t_.node(l.type).full_type),
             cat(r.name, ": ", o_.node(r.type).full_type));
        continue;
      }
      const bool accessible = ctx != FieldContext::Fields || !both_prefix ||
                              (i < 64 && ((a.prefix.accessible_fields >> i) & 1U) != 0 &&
                               ((b.prefix.accessible_fields >> i) & 1U) != 0);
      if (!accessible) {
        path_.push_back(field_element(t_, l));
        const Node& lt = t_.node(l.type);
        const Node& rt = o_.node(r.type);
        if (lt.size != rt.size) push(errs, MismatchKind::Size, std::to_string(lt.size), std::to_string(rt.size));
        if (lt.alignment_power != rt.alignment_power) {
          push(errs, MismatchKind::Alignment, std::to_string(lt.alignment()), std::to_string(rt.alignment()));
        }
        path_.pop_back();
        continue;
      }
      if (!(*l.lifetimes == *r.lifetimes)) {
        push(errs, MismatchKind::FieldLifetimeMismatch, lifetime_indices_debug(*l.lifetimes, false),
             lifetime_indices_debug(*r.lifetimes, false), cat("field `", l.name, "`"));
      }
      path_.push_back(field_element(t_, l));
      if (l.functions != nullptr && r.functions != nullptr) {
        for (std::size_t k = 0; k < std::min(l.functions->size(), r.functions->size()); ++k) {
          check_function(t_lay, o_lay, (*l.functions)[k], (*r.functions)[k],
                         l.is_function && l.functions->size() == 1);
        }
      }
      check_inner(l.type, r.type);
      path_.pop_back();
    }
  }

  void check_function(NodeId t_lay, NodeId o_lay, const Function& l, const Function& r, bool field_is_this_fn) {
    const std::size_t index = ++error_index_;
    Errors errs;
    if (!field_is_this_fn) path_.push_back(one_line(function_text(t_, l)));
    if (!(l.lifetimes == r.lifetimes)) {
      push(errs, MismatchKind::FnLifetimeMismatch, one_line(function_text(t_, l)), one_line(function_text(o_, r)));
    }
    if (l.qualifiers != r.qualifiers) {
      push(errs, MismatchKind::FnQualifierMismatch, one_line(function_text(t_, l)), one_line(function_text(o_, r)));
    }
    check_fields(errs, t_lay, o_lay, FieldContext::Subfields, params_and_return(l), params_and_return(r));
    flush(errs, index);
    if (!field_is_this_fn) path_.pop_back();
  }

  void check_enum(Errors& errs, NodeId t, NodeId o) {
    const Node& a = t_.node(t);
    const Node& b = o_.node(o);
    const EnumData& te = a.enum_data;
    const EnumData& oe = b.enum_data;
    if (!te.exhaustive && !oe.exhaustive) {
      for (const auto* side : {&a, &b}) {
        const EnumData& e = side->enum_data;
        if (side->size < e.nonexhaustive_size || side->alignment_power < e.nonexhaustive_align_power) {
          push(errs, MismatchKind::IncompatibleWithNonExhaustive,
               cat("size ", e.nonexhaustive_size, ", alignment ", std::size_t{1} << e.nonexhaustive_align_power),
               cat("size ", side->size, ", alignment ", side->alignment()),
               cat("the storage of `", side->full_type, "` is smaller than the enum"));
        }
      }
    } else if (te.exhaustive != oe.exhaustive) {
      push(errs, MismatchKind::MismatchedExhaustiveness, te.exhaustive ? "exhaustive" : "nonexhaustive",
           oe.exhaustive ? "exhaustive" : "nonexhaustive");
    }
    const std::size_t t_variants = te.field_counts.size();
    const std::size_t o_variants = oe.field_counts.size();
    if ((te.exhaustive && t_variants != o_variants) || (!te.exhaustive && t_variants > o_variants)) {
      push(errs, MismatchKind::TooManyVariants, std::to_string(t_variants), std::to_string(o_variants));
    }
    if (te.discriminant_kind == oe.discriminant_kind) {
      for (std::size_t i = 0; i < std::min(te.discriminants.size(), oe.discriminants.size()); ++i) {
        if (te.discriminants[i] != oe.discriminants[i]) {
          push(errs, MismatchKind::EnumDiscriminant, discriminant_text(te.discriminant_kind, te.discriminants[i]),
               discriminant_text(oe.discriminant_kind, oe.discriminants[i]), cat("variant ", i));
        }
      }
    } else {
      push(errs, MismatchKind::ReprAttr, cat("Int(", discriminant_kind_text(te.discriminant_kind), ")"),
           cat("Int(", discriminant_kind_text(oe.discriminant_kind), ")"), "the discriminants have different types");
    }
    const auto t_names = split_all(te.variant_names, ';');
    const auto o_names = split_all(oe.variant_names, ';');
    std::size_t total_fields = 0;
    for (std::size_t v = 0; v < std::min(t_variants, o_variants); ++v) {
      const std::string_view t_name = v < t_names.size() ? t_names[v] : "<this unavailable>";
      const std::string_view o_name = v < o_names.size() ? o_names[v] : "<other unavailable>";
      total_fields += te.field_counts[v];
      if (te.field_counts[v] != oe.field_counts[v]) {
        push(errs, MismatchKind::FieldCountMismatch, std::to_string(te.field_counts[v]),
             std::to_string(oe.field_counts[v]), cat("fields of variant `", t_name, "`"));
      }
      if (t_name != o_name) push(errs, MismatchKind::UnexpectedVariant, std::string(t_name), std::string(o_name));
    }
    const std::size_t min_fields = std::min(a.fields.size(), b.fields.size());
    if (total_fields != min_fields) {
      push(errs, MismatchKind::FieldCountMismatch, std::to_string(total_fields), std::to_string(min_fields),
           "fields of all variants together");
    }
    check_fields(errs, t, o, FieldContext::Fields, field_refs(a.fields), field_refs(b.fields));
  }

  void check_prefix(Errors& errs, NodeId t, NodeId o) {
    const Node& a = t_.node(t);
    const Node& b = o_.node(o);
    if (a.prefix.first_suffix_field != b.prefix.first_suffix_field) {
      push(errs, MismatchKind::MismatchedPrefixSize, std::to_string(a.prefix.first_suffix_field),
           std::to_string(b.prefix.first_suffix_field));
    }
    if (a.prefix.conditional_prefix_fields != b.prefix.conditional_prefix_fields) {
      push(errs, MismatchKind::MismatchedPrefixConditionality, hex(a.prefix.conditional_prefix_fields),
           hex(b.prefix.conditional_prefix_fields));
    }
    check_fields(errs, t, o, FieldContext::Fields, field_refs(a.fields), field_refs(b.fields));
  }

  const Graph& t_;
  const Graph& o_;
  std::vector<Recorded> recorded_;
  std::map<std::pair<NodeId, NodeId>, Visit> visited_;
  std::vector<std::string> path_;
  unsigned layer_ = 0;
  std::size_t error_index_ = 0;
};

// Continuation lines of a multi-line value, indented under its label.
std::string indented(const std::string& text, std::size_t indent) {
  std::string out;
  const std::string pad(indent, ' ');
  std::string_view rest = text;
  while (!rest.empty() && rest.back() == '\n') rest.remove_suffix(1);
  for (bool first = true;; first = false) {
    const std::size_t nl = rest.find('\n');
    if (!first) out += "\n" + pad;
    out += rest.substr(0, nl);
    if (nl == std::string_view::npos) return out;
    rest = rest.substr(nl + 1);
  }
}

}  // namespace

std::string_view kind_name(MismatchKind k) {
  static constexpr std::string_view names[] = {
      "CyclicTypeChecking", "NonZeroness", "Name", "Package", "PackageVersionParseError", "PackageVersion",
      "MismatchedPrefixSize", "Size", "Alignment", "GenericParamCount", "TLDataDiscriminant", "MismatchedPrimitive",
      "FieldCountMismatch", "FieldLifetimeMismatch", "FnLifetimeMismatch", "FnQualifierMismatch", "UnexpectedField",
      "TooManyVariants", "MismatchedPrefixConditionality", "MismatchedExhaustiveness", "MismatchedConstParam",
      "UnexpectedVariant", "ReprAttr", "EnumDiscriminant", "IncompatibleWithNonExhaustive", "NoneExtraChecks",
      "ExtraChecks", "TagError"};
  const auto i = static_cast<std::size_t>(k);
  return i < std::size(names) ? names[i] : std::string_view("?");
}

std::string_view kind_meaning(MismatchKind k) {
  static constexpr std::string_view meanings[] = {
      "a type is checked again while checking its own const parameters or extra checks",
      "mismatched non-zero-ness",
      "mismatched type",
      "mismatched package",
      "could not parse a version string",
      "incompatible package versions",
      "prefix types have a different prefix",
      "incompatible type size",
      "incompatible type alignment",
      "incompatible number of generic parameters",
      "incompatible data kind",
      "incompatible primitive",
      "mismatched number of fields",
      "a field references different lifetimes",
      "function pointers reference different lifetimes",
      "function pointers have different qualifiers (unsafe)",
      "unexpected field",
      "mismatched number of variants",
      "prefix fields differ in whether they are conditional",
      "enums differ in whether they are exhaustive",
      "different const parameters",
      "unexpected variant",
      "incompatible repr attributes",
      "different discriminants",
      "the storage of a nonexhaustive enum is too small",
      "this host's type has extra checks, the library's has none",
      "the extra checks disagree",
      "incompatible tags"};
  const auto i = static_cast<std::size_t>(k);
  return i < std::size(meanings) ? meanings[i] : std::string_view("?");
}

std::vector<LayoutMismatch> check_layout_compatibility(const Graph& expected, const Graph& found) {
  return Checker(expected, found).run();
}

std::string mismatch_report(const std::vector<LayoutMismatch>& mismatches) {
  std::string out = cat(mismatches.size(), " layout mismatch", mismatches.size() == 1 ? "" : "es",
                        " (expected: this host's interface; found: the library's):\n");
  for (std::size_t i = 0; i < mismatches.size(); ++i) {
    const LayoutMismatch& m = mismatches[i];
    out += cat("\n", i + 1, ". ", kind_meaning(m.kind), " [", kind_name(m.kind), "]\n");
    if (!m.path.empty()) {
      std::string path;
      for (std::size_t p = 0; p < m.path.size(); ++p) path += (p == 0 ? "" : " \u2192 ") + m.path[p];
      out += cat("   at:       ", path, "\n");
    }
    out += cat("   expected: ", indented(m.expected, 13), "\n");
    out += cat("   found:    ", indented(m.found, 13), "\n");
    if (!m.note.empty()) out += cat("   note:     ", m.note, "\n");
  }
  return out;
}

std::expected<void, LayoutError> check_library_layout(const tl::TypeLayout* host_root,
                                                      const tl::TypeLayout* library_root, const MappedMemory& memory) {
  auto host = read_graph(host_root, memory);
  if (!host) return std::unexpected(std::move(host).error().within("this host's own type layout cannot be read"));
  auto library = read_graph(library_root, memory);
  if (!library) return std::unexpected(std::move(library).error().within("its type layout cannot be read"));
  const auto mismatches = check_layout_compatibility(*host, *library);
  if (mismatches.empty()) return {};
  std::string report = mismatch_report(mismatches);
  while (!report.empty() && report.back() == '\n') report.pop_back();
  return std::unexpected(
      LayoutError::incompatible(std::move(report)).within("its type layout is incompatible with this host's"));
}

std::expected<void, LayoutError> check_library_layout(const tl::TypeLayout* host_root,
                                                      const tl::TypeLayout* library_root) {
  return check_library_layout(host_root, library_root, MappedMemory::loaded_objects());
}

}  // namespace lmfs::abi::layout
