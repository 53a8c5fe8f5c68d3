// FFTW plans and transforms for the analysis.
#include "fft.h"

#include <fftw3.h>

#include <cstring>
#include <mutex>

namespace analysis {

namespace {

// FFTW's planner keeps global state; every plan is made and destroyed under it.
std::mutex& PlannerMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

std::size_t NextPowerOfTwo(std::size_t n) {
    std::size_t size = 1;
    while (size < n) size <<= 1;
    return size;
}

RealFft::RealFft(std::size_t size) : m_size(size) {
    m_input = fftwf_alloc_real(size);
    auto* spectrum = fftwf_alloc_complex(size / 2 + 1);
    m_spectrum = spectrum;
    std::lock_guard lock(PlannerMutex());
    m_forward = fftwf_plan_dft_r2c_1d(static_cast<int>(size), m_input, spectrum, FFTW_ESTIMATE);
    m_backward = fftwf_plan_dft_c2r_1d(static_cast<int>(size), spectrum, m_input, FFTW_ESTIMATE);
}

RealFft::~RealFft() {
    {
        std::lock_guard lock(PlannerMutex());
        fftwf_destroy_plan(static_cast<fftwf_plan>(m_forward));
        fftwf_destroy_plan(static_cast<fftwf_plan>(m_backward));
    }
    fftwf_free(m_input);
    fftwf_free(m_spectrum);
}

void RealFft::power_spectrum(std::vector<float>& power) {
    fftwf_execute(static_cast<fftwf_plan>(m_forward));
    const auto* bins = static_cast<const fftwf_complex*>(m_spectrum);
    const std::size_t count = m_size / 2 + 1;
    power.resize(count);
    for (std::size_t k = 0; k < count; ++k)
        power[k] = bins[k][0] * bins[k][0] + bins[k][1] * bins[k][1];
}

void RealFft::autocorrelation(std::vector<float>& lags) {
    fftwf_execute(static_cast<fftwf_plan>(m_forward));
    auto* bins = static_cast<fftwf_complex*>(m_spectrum);
    const std::size_t count = m_size / 2 + 1;
    for (std::size_t k = 0; k < count; ++k) {
        bins[k][0] = bins[k][0] * bins[k][0] + bins[k][1] * bins[k][1];
        bins[k][1] = 0.0f;
    }
    // The inverse overwrites the input buffer; the caller refills it anyway.
    fftwf_execute(static_cast<fftwf_plan>(m_backward));
    lags.assign(m_input, m_input + count);
}

}  // namespace analysis
