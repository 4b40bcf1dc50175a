#include "swapcore/order.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace couplize {
namespace {

using Indices = std::vector<std::uint32_t>;

void expect_inverse(const Order& order) {
    ASSERT_EQ(order.get().size(), order.size());
    for (std::uint32_t p = 0; p < order.size(); ++p)
        ASSERT_EQ(order.get_physical_qubit(order.get_logical_qubit(Physical{p})), Physical{p})
            << "physical " << p;
}

// Where each logical qubit sits, as plain indices.
Indices physical_of(const Order& order) {
    Indices result(order.size());
    for (std::uint32_t q = 0; q < order.size(); ++q)
        result[q] = index(order.get_physical_qubit(Logical{q}));
    return result;
}

void swap(Order& order, std::uint32_t p1, std::uint32_t p2) {
    order.insert_physical_swap(Physical{p1}, Physical{p2});
}

Indices identity(std::uint32_t n) {
    Indices result(n);
    for (std::uint32_t k = 0; k < n; ++k) result[k] = k;
    return result;
}

TEST(Order, SwapSequenceOnFourQubits) {
    Order order(4);
    EXPECT_EQ(order.get(), (Indices{0, 1, 2, 3}));
    swap(order, 0, 1);
    EXPECT_EQ(order.get(), (Indices{1, 0, 2, 3}));
    EXPECT_EQ(order.get_physical_qubit(Logical{0}), Physical{1});
    EXPECT_EQ(order.get_logical_qubit(Physical{0}), Logical{1});
    swap(order, 1, 2);
    EXPECT_EQ(order.get(), (Indices{1, 2, 0, 3}));
    EXPECT_EQ(physical_of(order), (Indices{2, 0, 1, 3}));
    expect_inverse(order);
}

TEST(Order, SwapIsAnInvolutionAndSelfSwapIsANoOp) {
    Order order(5);
    swap(order, 1, 3);
    swap(order, 0, 3);
    const Order before = order;
    swap(order, 2, 4);
    swap(order, 2, 4);
    EXPECT_EQ(order, before);
    swap(order, 3, 3);
    EXPECT_EQ(order, before);
}

TEST(Order, DefaultIsEmpty) {
    Order order;
    EXPECT_EQ(order.size(), 0u);
    EXPECT_TRUE(order.get().empty());
    order.reset();
    EXPECT_EQ(order.size(), 0u);
    EXPECT_TRUE(order.get().empty());
    EXPECT_EQ(order, Order(0));
}

class OrderResize : public ::testing::TestWithParam<std::uint32_t> {};

// Whatever placement was held, resize gives the identity of the new size (growing, shrinking,
// same size and zero).
TEST_P(OrderResize, GivesTheIdentity) {
    const std::uint32_t n = GetParam();
    Order order(4);
    swap(order, 0, 3);
    swap(order, 1, 3);
    order.resize(n);
    EXPECT_EQ(order.size(), n);
    EXPECT_EQ(order.get(), identity(n));
    EXPECT_EQ(physical_of(order), identity(n));
    EXPECT_EQ(order, Order(n));
}

INSTANTIATE_TEST_SUITE_P(Sizes, OrderResize, ::testing::Values(0u, 1u, 2u, 4u, 5u, 64u));

TEST(Order, ResetKeepsTheSize) {
    Order order(6);
    swap(order, 0, 5);
    swap(order, 2, 5);
    order.reset();
    EXPECT_EQ(order.size(), 6u);
    EXPECT_EQ(order, Order(6));
}

class OrderRandomSwaps : public ::testing::TestWithParam<unsigned> {};

// Follows random swaps with an explicit model (content of each physical qubit) and checks both
// directions after every step.
TEST_P(OrderRandomSwaps, MatchesModelAndKeepsInverse) {
    std::mt19937 rng(GetParam());
    const std::uint32_t n = 1 + GetParam() * 3;
    std::uniform_int_distribution<std::uint32_t> any(0, n - 1);
    Order order(n);
    Indices model = identity(n);
    for (int step = 0; step < 300; ++step) {
        const std::uint32_t p1 = any(rng), p2 = any(rng);
        swap(order, p1, p2);
        std::swap(model[p1], model[p2]);
        ASSERT_EQ(order.get(), model) << "step " << step;
        for (std::uint32_t p = 0; p < n; ++p)
            ASSERT_EQ(order.get_physical_qubit(Logical{model[p]}), Physical{p});
    }
    expect_inverse(order);
}

// assign takes a permutation (logical -> physical) and refuses anything else, unchanged.
TEST(Order, AssignTakesOnlyAPermutation) {
    Order order(3);
    ASSERT_TRUE(order.assign({2, 0, 1}));
    EXPECT_EQ(physical_of(order), (Indices{2, 0, 1}));
    EXPECT_EQ(order.get(), (Indices{1, 2, 0}));
    const Order before = order;
    EXPECT_FALSE(order.assign({0, 0, 1}));
    EXPECT_FALSE(order.assign({0, 3, 1}));
    EXPECT_EQ(order, before);
    expect_inverse(order);
}

INSTANTIATE_TEST_SUITE_P(Seeded, OrderRandomSwaps, ::testing::Values(1u, 2u, 3u, 7u, 20u));

}  // namespace
}  // namespace couplize
