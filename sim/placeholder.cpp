// Placeholder so that the library exists before the simulated hardware does.
namespace sim {}
