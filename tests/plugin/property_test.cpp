// SPDX-License-Identifier: LGPL-2.1-or-later
// The elements' properties as a host sets and reads them: each one its own value, no other
// property touched by setting it.
#include <map>
#include <memory>
#include <ostream>
#include <string>

#include <gst/gst.h>
#include <gtest/gtest.h>

#include "plugin_env.h"

namespace {

struct element_values {
    const char* factory;
    // Property -> value as gst-launch writes it; every writable property, each set apart from
    // its default and from the others, so a value landing in another property shows.
    std::map<std::string, std::string> values;
};

std::ostream& operator<<(std::ostream& out, const element_values& element) {
    return out << element.factory;
}

struct value_deleter {
    void operator()(GValue* value) const {
        g_value_unset(value);
        delete value;
    }
};
using value_ptr = std::unique_ptr<GValue, value_deleter>;

// An unset value of the property's type.
value_ptr value_of_type(const GParamSpec* pspec) {
    value_ptr value(new GValue());
    g_value_init(value.get(), pspec->value_type);
    return value;
}

value_ptr read_property(GstElement* element, const GParamSpec* pspec) {
    value_ptr value = value_of_type(pspec);
    g_object_get_property(G_OBJECT(element), pspec->name, value.get());
    return value;
}

value_ptr parse_value(const GParamSpec* pspec, const std::string& text) {
    value_ptr value = value_of_type(pspec);
    EXPECT_TRUE(gst_value_deserialize(value.get(), text.c_str())) << pspec->name << " = " << text;
    return value;
}

value_ptr default_value(const GParamSpec* pspec) {
    value_ptr value = value_of_type(pspec);
    g_value_copy(g_param_spec_get_default_value(const_cast<GParamSpec*>(pspec)), value.get());
    return value;
}

std::string describe(const GValue* value) {
    gchar* text = gst_value_serialize(value);
    std::string result = text != nullptr ? text : "(null)";
    g_free(text);
    return result;
}

class ElementProperties : public ::testing::TestWithParam<element_values> {
protected:
    void SetUp() override {
        ASSERT_FALSE(plugintest::plugin_dir().empty());
        element_ = gst_element_factory_make(GetParam().factory, nullptr);
        ASSERT_NE(element_, nullptr);
        gst_object_ref_sink(element_);
    }
    void TearDown() override {
        if (element_ != nullptr) {
            gst_object_unref(element_);
        }
    }

    // Every readable property the element itself installs reads `expected(pspec)`; returns how
    // many were checked.
    template <typename Expected> unsigned expect_every_property(Expected expected) {
        guint count = 0;
        GParamSpec** pspecs = g_object_class_list_properties(G_OBJECT_GET_CLASS(element_), &count);
        unsigned checked = 0;
        for (guint i = 0; i < count; ++i) {
            const GParamSpec* pspec = pspecs[i];
            if (pspec->owner_type != G_OBJECT_TYPE(element_) ||
                (pspec->flags & G_PARAM_READABLE) == 0) {
                continue;
            }
            const value_ptr read = read_property(element_, pspec);
            const value_ptr wanted = expected(pspec);
            EXPECT_EQ(gst_value_compare(read.get(), wanted.get()), GST_VALUE_EQUAL)
                << pspec->name << " reads " << describe(read.get()) << ", expected "
                << describe(wanted.get());
            ++checked;
        }
        g_free(pspecs);
        return checked;
    }

    GstElement* element_ = nullptr;
};

TEST_P(ElementProperties, FreshElementReadsEveryDefault) {
    const unsigned checked = expect_every_property(default_value);
    EXPECT_GT(checked, GetParam().values.size());
}

TEST_P(ElementProperties, EachPropertyReadsBackItsOwnValueAndLeavesTheOthers) {
    const std::map<std::string, std::string>& values = GetParam().values;
    for (const auto& [name, text] : values) {
        ASSERT_NE(g_object_class_find_property(G_OBJECT_GET_CLASS(element_), name.c_str()), nullptr)
            << name;
        gst_util_set_object_arg(G_OBJECT(element_), name.c_str(), text.c_str());
    }
    expect_every_property([&](const GParamSpec* pspec) {
        const auto set = values.find(pspec->name);
        if (set != values.end()) {
            return parse_value(pspec, set->second);
        }
        // Anything the table leaves out must be a read-only counter, still at its start.
        EXPECT_EQ(pspec->flags & G_PARAM_WRITABLE, 0) << pspec->name << " is missing a value";
        return default_value(pspec);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Elements, ElementProperties,
    ::testing::Values(element_values{"zorvdbsink",
                                     {{"buffer-name", "zorvtest_properties_buffer"},
                                      {"backend", "sysv"},
                                      {"zero-copy", "false"},
                                      {"layout", "ring"},
                                      {"readers", "7"},
                                      {"leases-per-reader", "5"},
                                      {"metadata-size", "4096"}}},
                      element_values{"zorvdbsrc",
                                     {{"buffer-name", "zorvtest_properties_buffer"},
                                      {"backend", "sysv"},
                                      {"timeout", "123456789"},
                                      {"max-leases", "9"}}}),
    [](const ::testing::TestParamInfo<element_values>& param) {
        return std::string(param.param.factory);
    });

} // namespace
