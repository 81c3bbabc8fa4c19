#include "yin/Pipeline.h"

namespace yin {

Pipeline::~Pipeline() {
    latch_.cancel();
    threads_.joinAll();
}

void Pipeline::start(Stage& stage) {
    threads_.createThread([&stage] { stage(); });
}

void Pipeline::run() {
    latch_.open();
    threads_.joinAll();
}

}  // namespace yin
