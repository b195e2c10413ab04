// Bakes: every node of a scene (or the chosen ones and what they need)
// cooked at each sample time of a range, into local and world matrices
// (host convention: row vectors, row-major, translation in the last row).
//
// Workers are processes. The host cooks on one thread, as the real host
// does, and its nodes keep what they cooked: rather than make every part of
// the SDK and every module safe to use from several threads, each worker is
// a forked child with a scene of its own, writing its matrices into memory
// of its own, which the parent (working as one of them) takes over piece by
// piece (bake_workers.hpp). Three ways to share the work out:
//
//  - By groups (bakeScene): a scene in memory whose nodes fall into separate
//    groups (nothing wired between them) is shared out in parts of whole
//    groups, which the workers take in turn, each making its own copy of
//    the memory that holds its part's nodes (a cook writes every node it
//    cooks) and cooking the part at every sample.
//  - By nodes (bakeSceneFile): a scene file whose groups allow it is shared
//    out in parts the same way, each worker loading and cooking only the
//    part's nodes. Loading costs about half of a bake of 48 samples, so this
//    way the load runs on every core as well.
//  - By samples (bakeScene, for any other scene): samples are independent,
//    so chunks of them go to children forked once the scene is loaded,
//    which hold it copy-on-write. A scene with a group larger than an even
//    share is baked this way, and so is any bake with one worker.
//
// Given a sink (mhost bake's .npy file), a bake by nodes or by samples
// keeps no matrices: each worker puts its own to the sink, a slice at a
// time, so that nothing is taken over and the memory holds a few slices
// whatever the bake's size.
//
// A node's cook depends only on the node and those it reads, and each
// sample is cooked the same way whoever cooks it, so the matrices are
// bit-identical whatever the number of workers and the way chosen.
//
// The bake's code, by job: the request and the matrices (bake_result.hpp),
// how the work is shared out (bake_plan.hpp), the cook loop and what the
// workers report (bake_cook.hpp), the processes (bake_workers.hpp), a part's
// cook and hand-over in the ways by groups and by nodes (bake_parts.hpp),
// and the three ways (bake.cpp).
#pragma once

#include "engine/bake_result.hpp"
#include "engine/host_session.hpp"

#include <string>
#include <string_view>

namespace mhost {

// Cooks the bake, by groups where they allow, else by samples. InputError for an unknown node, a
// node that is not an object, a sample range outside the sweep or a worker count below 0; RunError
// naming the node and time of the first cook (in sample, then scene order) that failed, or for a
// worker that died.
BakeResult bakeScene(Scene& scene, const BakeRequest& request);

// Bakes the scene of a file's text (source names it in messages), by nodes
// where its groups allow, else loaded once and baked by samples. Fails as
// loadScene and bakeScene do, and with the sink's RunError when a put
// fails; interrupt is not called.
BakeResult bakeSceneFile(Host& host, std::string_view text, const std::string& source,
                         const BakeRequest& request);

} // namespace mhost
