// Real-input power spectra and autocorrelations through FFTW, callable from
// any thread: plans are made once per size under a lock (the planner is not
// thread-safe) and executed on buffers of the caller.
#pragma once

#include <cstddef>
#include <vector>

namespace analysis {

// Working storage and plans of one transform size; one per thread of work.
class RealFft {
public:
    // `size` is the transform length (a power of two is fastest).
    explicit RealFft(std::size_t size);
    ~RealFft();
    RealFft(const RealFft&) = delete;
    RealFft& operator=(const RealFft&) = delete;

    std::size_t size() const { return m_size; }
    // The time-domain input of the next transform; `size()` floats, which
    // the caller fills (zeros past its data).
    float* input() { return m_input; }
    // Squared magnitudes of bins 0 to size()/2 of the input's transform.
    void power_spectrum(std::vector<float>& power);
    // Circular autocorrelation of the input for lags 0 to size()/2 (not
    // normalised); zero-pad the input to avoid wrap-around.
    void autocorrelation(std::vector<float>& lags);

private:
    std::size_t m_size;
    float* m_input;
    void* m_spectrum;  // fftwf_complex[size/2 + 1]
    void* m_forward;   // fftwf_plan
    void* m_backward;  // fftwf_plan
};

// The smallest power of two not below `n`.
std::size_t NextPowerOfTwo(std::size_t n);

}  // namespace analysis
