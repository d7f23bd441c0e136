// The nearest-centroid search gives exactly the list of measuring every centroid: clustered and
// unclustered data, ties, non-finite values, and the metrics and sizes that take no bound.
#include "jix0/index/kmeans.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <vector>

namespace {

struct Case {
  const char* name;
  DistanceMetric metric;
  int d;
  int lists;
  bool clustered;  // vectors near a centroid, else uniform like the centroids
};

int Reference(DistanceMetric metric, const std::vector<float>& centroids, int d, int lists,
              const float* v) {
  std::vector<float> distances((size_t)lists);
  ivf_distances(metric, v, centroids.data(), (size_t)d, (size_t)lists, distances.data());
  return ivf_argmin(distances.data(), lists);
}

TEST(IvfNearest, SameListAsMeasuringEveryCentroid) {
  const Case cases[] = {
      {"clustered L2", JIX0_DISTANCE_L2, 64, 200, true},
      {"uniform L2", JIX0_DISTANCE_L2, 64, 200, false},
      {"odd sizes L2", JIX0_DISTANCE_L2, 37, 77, true},
      {"too few lists for the bound", JIX0_DISTANCE_L2, 64, 5, true},
      {"too few dimensions for the bound", JIX0_DISTANCE_L2, 8, 200, true},
      {"cosine", JIX0_DISTANCE_COSINE, 64, 200, true},
  };
  for (const Case& c : cases) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> uniform(-1, 1);
    std::normal_distribution<float> noise(0, 0.1f);
    std::vector<float> centroids((size_t)c.lists * c.d);
    for (float& x : centroids) x = uniform(random);
    // Lists 1 and the last share a centroid: rows nearest it go to list 1.
    const int twin = c.lists - 1;
    std::copy_n(&centroids[1 * c.d], c.d, &centroids[twin * c.d]);
    std::vector<std::vector<float>> vectors;
    for (int i = 0; i < 600; i++) {
      std::vector<float> v((size_t)c.d);
      int near = i % 4 == 0 ? twin : (int)(random() % c.lists);
      for (int x = 0; x < c.d; x++) {
        v[x] = c.clustered ? centroids[near * c.d + x] + noise(random) : uniform(random);
      }
      vectors.push_back(v);
    }
    vectors.push_back(std::vector<float>(centroids.begin() + twin * c.d,
                                         centroids.begin() + (twin + 1) * c.d));  // on the tie
    std::vector<float> nan((size_t)c.d, 0.5f), inf((size_t)c.d, 0.5f), huge((size_t)c.d, 3e38f);
    nan[c.d - 1] = std::numeric_limits<float>::quiet_NaN();
    inf[0] = std::numeric_limits<float>::infinity();
    vectors.insert(vectors.end(), {nan, inf, huge});

    IvfNearest nearest{};
    ASSERT_EQ(ivf_nearest_init(&nearest, c.metric, centroids.data(), (size_t)c.d, c.lists),
              SQLITE_OK);
    for (size_t i = 0; i < vectors.size(); i++) {
      EXPECT_EQ(ivf_nearest(&nearest, vectors[i].data()),
                Reference(c.metric, centroids, c.d, c.lists, vectors[i].data()))
          << c.name << ", vector " << i;
    }
    ivf_nearest_free(&nearest);
  }
}

// Distances are square roots of the sums, and neighbouring sums can share a root: the lower list
// must win such a tie even when its sum is the larger, in a pruned search as in a full one.
TEST(IvfNearest, EqualRootsOfUnequalSumsGoToTheLowerList) {
  const int d = 64, lists = 200;
  std::mt19937 random(11);
  std::uniform_real_distribution<float> uniform(-1, 1);
  std::vector<float> centroids((size_t)lists * d);
  for (float& x : centroids) x = uniform(random);
  // Near the zero query, list 0 at (c, 0, ..., e) and list 1 at (c, 0, ..., 0): the sum of
  // list 0 is larger by the smallest step whose root is still c's.
  const float c = 0.5f;
  float e = 0;
  for (float step = 1e-5f; step < 1e-3f && e == 0; step *= 1.01f) {
    const float sum = c * c + step * step;
    if (sum > c * c && sqrtf(sum) == sqrtf(c * c)) e = step;
  }
  ASSERT_NE(e, 0.0f);
  for (int list : {0, 1}) {
    std::fill_n(&centroids[(size_t)list * d], d, 0.0f);
    centroids[(size_t)list * d] = c;
  }
  centroids[(size_t)d - 1] = e;
  const std::vector<float> query((size_t)d, 0.0f);
  IvfNearest nearest{};
  ASSERT_EQ(ivf_nearest_init(&nearest, JIX0_DISTANCE_L2, centroids.data(), d, lists), SQLITE_OK);
  EXPECT_EQ(Reference(JIX0_DISTANCE_L2, centroids, d, lists, query.data()), 0);
  EXPECT_EQ(ivf_nearest(&nearest, query.data()), 0);
  ivf_nearest_free(&nearest);
}

}  // namespace
