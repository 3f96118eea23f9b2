// Owners for cJSON trees and the texts cJSON prints, so that every tree and text is
// released exactly once on every path.
#pragma once

#include <memory>
#include <utility>

#include <cjson/cJSON.h>

struct JsonDeleter
{
    void operator()(cJSON *tree) const { cJSON_Delete(tree); }
};
// A tree with one owner.
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

struct JsonTextDeleter
{
    void operator()(char *text) const { cJSON_free(text); }
};
// A text from cJSON_Print / cJSON_PrintUnformatted (null when printing failed).
using JsonText = std::unique_ptr<char, JsonTextDeleter>;

// Owns one cJSON tree. Copies are deep (cJSON_Duplicate), moves hand the tree over,
// and the tree is deleted exactly once with its last owner.
class OwnedJson
{
public:
    OwnedJson() = default;
    explicit OwnedJson(cJSON *tree) noexcept : tree_(tree) {}
    OwnedJson(const OwnedJson &other) : tree_(other.tree_ ? cJSON_Duplicate(other.tree_, 1) : nullptr) {}
    OwnedJson(OwnedJson &&other) noexcept : tree_(std::exchange(other.tree_, nullptr)) {}
    OwnedJson &operator=(OwnedJson other) noexcept
    {
        std::swap(tree_, other.tree_);
        return *this;
    }
    ~OwnedJson() { cJSON_Delete(tree_); }

    cJSON *get() const noexcept { return tree_; }
    cJSON *operator->() const noexcept { return tree_; }
    explicit operator bool() const noexcept { return tree_ != nullptr; }
    // Gives up ownership; the caller deletes the tree.
    cJSON *release() noexcept { return std::exchange(tree_, nullptr); }
    // Takes ownership of `tree` and deletes the previous one.
    void reset(cJSON *tree = nullptr) noexcept { cJSON_Delete(std::exchange(tree_, tree)); }

private:
    cJSON *tree_ = nullptr;
};

